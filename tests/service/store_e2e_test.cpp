// The store that must not forget: damaged or rolled back under a service that had run
// jobs, it is refused at start; pruned, its keys still answer; backed up while serving,
// it comes back with every job. And the files a job's run writes stay in its own folder.

#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "service_rig.h"

namespace {

namespace fs = std::filesystem;
using svc::json;
using svc::receipt;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Ran {
  int status = -1;
  std::string out;
};

// cassardd with the service's configuration and `args`, its stdout and stderr together;
// a start that was not refused is ended by timeout (status 124).
Ran cassardd(svc::Service& s, const std::string& args) {
  const std::string cmd = "timeout 20 " CASSARDD_BIN " --config " +
                          (s.dir() / "cassardd.toml").string() + " " + args + " 2>&1";
  Ran r;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

void sql(const fs::path& db, const std::string& text) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(h, text.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(h);
}

TEST(Store, RefusedWhenItForgotAndWholeWhenKept) {
  struct Row {
    const char* legend;
    // With two receipts done (jobs 1 and 2, keys k1 and k2) and the service running.
    std::function<void(svc::Service&, const fs::path& db)> act;
    const char* refused;  // what the one-line refusal says; nullptr: the service starts
    std::function<void(svc::Service&)> check;  // once it started again
  };
  const Row rows[] = {
      {"a 0-byte database copied over the store",
       [](svc::Service& s, const fs::path& db) {
         s.kill9();
         std::ofstream(db, std::ios::trunc);
       },
       "is empty while 2 job directories are in", nullptr},
      {"the -wal removed after kill -9",
       [](svc::Service& s, const fs::path& db) {
         ASSERT_EQ(s.term(), 0);  // the first two are in the database file itself
         s.start();
         ASSERT_EQ(s.post("cassa1", "k3", receipt("OLIO", 900)).status, 201);
         ASSERT_EQ(s.waitJob(3)["state"], "done");
         s.kill9();
         fs::remove(db.string() + "-wal");
         fs::remove(db.string() + "-shm");
       },
       "does not know 1 of the job directories", nullptr},
      {"bytes of the database overwritten",
       [](svc::Service& s, const fs::path& db) {
         ASSERT_EQ(s.term(), 0);
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(2 * 4096);
         f << std::string(4096, '\xAA');
       },
       "is damaged", nullptr},
      {"a fresh state_dir",
       [](svc::Service& s, const fs::path& db) {
         ASSERT_EQ(s.term(), 0);
         fs::remove_all(db.parent_path());
       },
       nullptr,
       [](svc::Service& s) {
         EXPECT_EQ(s.get("/healthz").status, 200);
         EXPECT_EQ(s.post("cassa1", "k1", receipt()).status, 201) << "a new store, a new key";
       }},
      {"kill -9 and a restart: the next id is above every directory",
       [](svc::Service& s, const fs::path&) { s.kill9(); }, nullptr,
       [](svc::Service& s) {
         const std::string before = slurp(s.dir() / "state/jobs/2/console.txt");
         ASSERT_EQ(s.post("cassa1", "k3", receipt("OLIO", 900)).body["id"], 3);
         EXPECT_EQ(s.waitJob(3)["state"], "done");
         EXPECT_EQ(slurp(s.dir() / "state/jobs/2/console.txt"), before);
       }},
      {"the newest job pruned: its key is still its own, and its id is not given again",
       [](svc::Service& s, const fs::path& db) {
         ASSERT_EQ(s.term(), 0);
         sql(db, "UPDATE jobs SET ended_at = '2000-01-01T00:00:00.000Z' WHERE id = 2");
       },
       nullptr,
       [](svc::Service& s) {
         // The hourly prune runs once at start: the store first, then the id mark, then the
         // directory.
         for (int i = 0; i < 500 && (s.get("/v1/jobs/2").status != 404 ||
                                     fs::exists(s.dir() / "state/jobs/2"));
              ++i)
           std::this_thread::sleep_for(std::chrono::milliseconds(10));
         EXPECT_FALSE(fs::exists(s.dir() / "state/jobs/2"));
         EXPECT_EQ(slurp(s.dir() / "state/job-id-mark"), "2\n");
         const svc::Reply same = s.post("cassa1", "k2", receipt("LATTE", 129));
         EXPECT_EQ(same.status, 200) << same.text;
         EXPECT_EQ(same.body["id"], 2);
         EXPECT_EQ(same.body["pruned"], true);
         EXPECT_EQ(same.body["state"], "done");
         const std::string first = s.get("/v1/jobs/1").body["receiptNumber"];
         EXPECT_EQ(std::stoi(same.body["receiptNumber"].get<std::string>()), std::stoi(first) + 1);
         const svc::Reply other = s.post("cassa1", "k2", receipt("LATTE", 130));
         EXPECT_EQ(other.status, 409);
         EXPECT_EQ(other.body["error"]["code"], "key_reused");
         EXPECT_EQ(s.post("cassa1", "k3", receipt()).body["id"], 3);
         EXPECT_EQ(s.waitJob(3)["state"], "done");
         EXPECT_EQ(s.receiptsOnRoll(0), 3) << "no second receipt for k2";
       }},
      {"a backup made while serving, put in place of the store",
       [](svc::Service& s, const fs::path& db) {
         const fs::path copy = s.dir() / "copy.db";
         const Ran b = cassardd(s, "--backup " + copy.string());
         EXPECT_EQ(b.status, 0) << b.out;
         EXPECT_NE(b.out.find(": 2 jobs, 0 keys of pruned jobs\n"), std::string::npos) << b.out;
         EXPECT_FALSE(fs::exists(copy.string() + ".tmp"));
         ASSERT_EQ(s.term(), 0);
         fs::copy_file(copy, db, fs::copy_options::overwrite_existing);
         fs::remove(db.string() + "-wal");
         fs::remove(db.string() + "-shm");
       },
       nullptr,
       [](svc::Service& s) {
         for (int id : {1, 2}) {
           const json job = s.get("/v1/jobs/" + std::to_string(id)).body;
           EXPECT_EQ(job["state"], "done") << job.dump();
           EXPECT_NE(job["receiptNumber"], nullptr);
         }
         EXPECT_EQ(s.post("cassa1", "k2", receipt("LATTE", 129)).status, 200);
         EXPECT_EQ(s.receiptsOnRoll(0), 2);
       }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    svc::Service s;
    const fs::path db = s.dir() / "state" / "cassardd.db";
    ASSERT_EQ(s.post("cassa1", "k1", receipt()).status, 201);
    ASSERT_EQ(s.post("cassa1", "k2", receipt("LATTE", 129)).status, 201);
    ASSERT_EQ(s.waitJob(2)["state"], "done");
    r.act(s, db);
    if (HasFatalFailure()) return;
    if (r.refused) {
      const std::uintmax_t bytes = fs::file_size(db);
      const Ran start = cassardd(s, "");
      EXPECT_EQ(start.status, 1) << start.out;
      EXPECT_NE(start.out.find(r.refused), std::string::npos) << start.out;
      EXPECT_NE(start.out.find("cassardd --backup"), std::string::npos) << start.out;
      EXPECT_EQ(start.out.find('\n'), start.out.size() - 1) << "one line: " << start.out;
      EXPECT_EQ(fs::file_size(db), bytes) << "the refused store is left as it was";
      continue;
    }
    s.start();
    r.check(s);
  }
}

// Every key ever answered stays known and no id is given twice, whatever happens to the
// store; one service per state folder; a folder that cannot be written is told at once.
TEST(Store, NothingAcceptedIsForgottenNorHandedOn) {
  // Each job's id in the answers to `keys` posted (again) on cassa1, in order; a key's
  // request is the same each time.
  const auto ids = [](svc::Service& s, std::vector<std::string> keys, int status) {
    std::vector<int> got;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const svc::Reply r = s.post("cassa1", keys[i], receipt("PANE", 100 + keys[i].back()));
      EXPECT_EQ(r.status, status) << keys[i] << ": " << r.text;
      got.push_back(r.body.is_object() ? r.body.value("id", 0) : 0);
    }
    return got;
  };
  const auto expectRan = [](const Ran& r, int status, const std::string& says) {
    EXPECT_EQ(r.status, status) << r.out;
    EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
  };
  // What the folder-made-read-only row needs: this process in a mount namespace of its
  // own, so that the bind mount stays here (cassardd, started after, shares it).
  const bool ownMounts =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  const std::vector<std::string> k = {"k1", "k2", "k3", "k4", "k5"};
  const struct Row {
    const char* legend;
    std::function<void(svc::Service&, const fs::path& db)> play;
  } rows[] = {
      {"the -wal lost with a job's end and three queued jobs: refused, then taken back",
       [&](svc::Service& s, const fs::path& db) {
         ASSERT_EQ(s.control(0, "hangup")["ok"], true);
         EXPECT_EQ(ids(s, {k[4]}, 201), (std::vector<int>{1}));
         ASSERT_EQ(s.term(), 0);  // job 1 queued in the database file, nothing in the -wal
         ASSERT_EQ(s.control(0, "plug")["ok"], true);
         s.start();
         ASSERT_EQ(s.waitJob(1)["state"], "done");
         ASSERT_EQ(s.control(0, "hangup")["ok"], true);
         EXPECT_EQ(ids(s, {k[0], k[1], k[2]}, 201), (std::vector<int>{2, 3, 4}));
         s.waitRegister("cassa1", "unreachable");  // job 2 back in the queue: nothing sent
         s.kill9();
         fs::remove(db.string() + "-wal");
         fs::remove(db.string() + "-shm");
         expectRan(cassardd(s, ""), 1, "does not know 3 of the job directories in");
         expectRan(cassardd(s, "--take-back"), 0,
                   "took back 3 job directories (2, 3, 4): 3 queued, 0 settled from their files, 0 "
                   "in attention (restored_unsettled); 0 never acknowledged set aside; brought "
                   "forward from their traces 1 jobs the store had as undecided (1)");
         ASSERT_EQ(s.control(0, "plug")["ok"], true);
         s.start();
         EXPECT_EQ(ids(s, {k[4], k[0], k[1], k[2]}, 200), (std::vector<int>{1, 2, 3, 4}));
         EXPECT_EQ(ids(s, {k[3]}, 201), (std::vector<int>{5})) << "no id given twice";
         for (int id = 1; id <= 5; ++id) EXPECT_EQ(s.waitJob(id)["state"], "done");
         EXPECT_EQ(s.receiptsOnRoll(0), 5) << "job 1 not run again";
       }},
      {"a backup restored: the jobs after it taken back, done, queued or settled by readings",
       [&](svc::Service& s, const fs::path&) {
         EXPECT_EQ(ids(s, {k[0], k[1]}, 201), (std::vector<int>{1, 2}));
         ASSERT_EQ(s.waitJob(2)["state"], "done");
         expectRan(cassardd(s, "--backup " + (s.dir() / "copy.db").string()), 0, ": 2 jobs");
         EXPECT_EQ(ids(s, {k[2]}, 201), (std::vector<int>{3}));
         const json third = s.waitJob(3);
         s.pauseAt("after-run");  // ended on the register, its end never committed
         EXPECT_EQ(ids(s, {k[3]}, 201), (std::vector<int>{4}));
         ASSERT_TRUE(s.reached("after-run"));
         s.kill9();
         ASSERT_EQ(s.control(0, "hangup")["ok"], true);
         s.start();
         EXPECT_EQ(ids(s, {k[4]}, 201), (std::vector<int>{5}));
         s.kill9();
         expectRan(cassardd(s, "--restore " + (s.dir() / "copy.db").string()), 0,
                   "took back 3 job directories (3, 4, 5): 1 queued, 2 settled from their files");
         ASSERT_EQ(s.control(0, "plug")["ok"], true);
         s.start();
         EXPECT_EQ(s.get("/v1/jobs/3").body["receiptNumber"], third["receiptNumber"]);
         EXPECT_EQ(s.waitJob(4)["settledBy"], "register");
         EXPECT_EQ(ids(s, k, 200), (std::vector<int>{1, 2, 3, 4, 5}));
         EXPECT_EQ(ids(s, {"k6"}, 201), (std::vector<int>{6}));
         for (int id = 1; id <= 6; ++id) EXPECT_EQ(s.waitJob(id)["state"], "done") << id;
         EXPECT_EQ(s.receiptsOnRoll(0), 6) << "no key printed twice";
       }},
      {"killed between a request's trace and its commit: set aside, its id not given again",
       [&](svc::Service& s, const fs::path& db) {
         EXPECT_EQ(ids(s, {k[0]}, 201), (std::vector<int>{1}));
         ASSERT_EQ(s.term(), 0);
         const fs::path jobs = db.parent_path() / "jobs";
         std::string first = slurp(jobs / "1/trace.jsonl");
         first = first.substr(0, first.find('\n') + 1);
         first.replace(first.find("\"id\":1"), 6, "\"id\":2");
         first.replace(first.find("\"key\":\"k1\""), 10, "\"key\":\"k9\"");
         fs::create_directory(jobs / "2");
         std::ofstream(jobs / "2/trace.jsonl") << first;
         s.start();
         EXPECT_NE(s.log().find("job directory 2 holds a request that was never committed"),
                   std::string::npos);
         EXPECT_TRUE(fs::exists(db.parent_path() / "unacknowledged/2/trace.jsonl"));
         EXPECT_EQ(ids(s, {k[1]}, 201), (std::vector<int>{3}));
       }},
      {"a second service on the same folder",
       [&](svc::Service& s, const fs::path&) {
         const std::string holder = "(pid " + std::to_string(s.pid()) + ")";
         expectRan(cassardd(s, ""), 1, holder);
         expectRan(cassardd(s, "--take-back"), 1, holder);
         EXPECT_EQ(ids(s, {k[0]}, 201), (std::vector<int>{1}));
         EXPECT_EQ(s.waitJob(1)["state"], "done") << "the first runs on";
       }},
      {"the state folder remounted read-only",
       [&](svc::Service& s, const fs::path& db) {
         if (!ownMounts) return (void)(std::cerr << "skipped: no mount namespace here\n");
         const std::string state = db.parent_path().string();
         ASSERT_EQ(mount(state.c_str(), state.c_str(), nullptr, MS_BIND, nullptr), 0);
         ASSERT_EQ(
             mount(nullptr, state.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
         const auto at = std::chrono::steady_clock::now();
         while (s.get("/healthz").status == 200 &&
                std::chrono::steady_clock::now() - at < std::chrono::seconds(3))
           std::this_thread::sleep_for(std::chrono::milliseconds(50));
         EXPECT_LE(std::chrono::steady_clock::now() - at, std::chrono::seconds(2));
         EXPECT_EQ(s.get("/healthz").body["error"]["code"], "store_unavailable");
         EXPECT_NE(s.get("/metrics").text.find("cassardd_store_up 0"), std::string::npos);
         const svc::Reply r = s.post("cassa1", k[0], receipt());
         EXPECT_EQ(r.status, 503);
         EXPECT_NE(r.body["error"]["message"].get<std::string>().find(state), std::string::npos)
             << r.text;
         // Detached: a read connection the service opened meanwhile holds the mount busy.
         ASSERT_EQ(umount2(state.c_str(), MNT_DETACH), 0);
         EXPECT_EQ(ids(s, {k[0]}, 201), (std::vector<int>{1})) << "nothing of it was kept";
       }},
      {"a full disk at start: free space, never a restore",
       [&](svc::Service& s, const fs::path& db) {
         if (!ownMounts) return (void)(std::cerr << "skipped: no mount namespace here\n");
         EXPECT_EQ(ids(s, {k[0]}, 201), (std::vector<int>{1}));
         s.kill9();
         const fs::path state = db.parent_path(), kept = s.dir() / "kept";
         fs::copy(state, kept, fs::copy_options::recursive);
         ASSERT_EQ(mount("tmpfs", state.c_str(), "tmpfs", 0, "size=2m"), 0);
         fs::copy(kept, state, fs::copy_options::recursive);
         fs::remove(state / "cassardd.db-shm");  // so that the start must write
         std::ofstream fill(state / "filler", std::ios::binary);
         for (const std::string mb(1 << 20, 'x'); fill.write(mb.data(), mb.size());) {
         }
         const Ran r = cassardd(s, "");
         expectRan(r, 1, "free space on " + state.string() + ", then start again");
         EXPECT_EQ(r.out.find("restore"), std::string::npos) << r.out;
         ASSERT_EQ(umount2(state.c_str(), MNT_DETACH), 0);
       }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    svc::Service s({.wrapper = true, .control = true});
    r.play(s, s.dir() / "state" / "cassardd.db");
  }
}

TEST(Store, BackupRefusals) {
  svc::Service s;
  const struct {
    const char* to;
    const char* says;
  } rows[] = {
      {"state/cassardd.db", "is the store itself"},
      {"state/cassardd.db-wal", "is the store itself"},
      {"no-such-dir/copy.db", "no-such-dir/copy.db.tmp"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.to);
    const Ran b = cassardd(s, "--backup " + (s.dir() / r.to).string());
    EXPECT_EQ(b.status, 1) << b.out;
    EXPECT_NE(b.out.find(r.says), std::string::npos) << b.out;
  }
  EXPECT_EQ(s.get("/healthz").status, 200) << "the store is untouched";
}

TEST(Files, ADownloadsNameStaysInTheJobsOwnFolder) {
  const struct {
    const char* name;  // the download's name as the line gives it, up to its '-'
    bool done;
  } rows[] = {
      {"journal.txt", true}, {"sales.ECR", true}, {"console.txt", true},
      {"status.json", true}, {"../x", false},
  };
  svc::Service s;
  auto strip = [](std::string l) { return l.substr(0, l.size() - 1); };
  const std::string second = strip(sales::line("55", "second-", "", "00"));
  std::string journal;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::vector<std::string> lines = {
        strip(sales::line("55", std::string(r.name) + "-", "", "00")), second};
    const svc::Reply posted =
        s.postJob("cassa1", "k" + std::to_string(&r - rows), {{"kind", "lines"}, {"lines", lines}});
    if (!r.done) {
      // Refused before anything is queued, as cassard --check refuses it.
      EXPECT_EQ(posted.status, 400) << posted.text;
      EXPECT_EQ(posted.body["error"]["field"], "lines[0]");
      EXPECT_EQ(s.get("/v1/registers/cassa1").body["queued"], 0);
      continue;
    }
    ASSERT_EQ(posted.status, 201) << posted.text;
    const int64_t id = posted.body["id"];
    const json job = s.waitJob(id);
    const fs::path dir = s.dir() / "state" / "jobs" / std::to_string(id);
    EXPECT_EQ(slurp(dir / "sales.ECR"), lines[0] + "\n" + lines[1] + "\n");
    if (!job["failedLine"].is_null()) {
      EXPECT_GE(job["failedLine"], 1);
      EXPECT_LE(job["failedLine"], 2);
    }
    EXPECT_EQ(job["state"], "done") << job.dump();
    EXPECT_EQ(job["failedLine"], nullptr);
    EXPECT_NE(job["console"].get<std::string>().find("terminato correttamente"), std::string::npos)
        << job["console"];
    EXPECT_TRUE(json::parse(slurp(dir / "status.json"), nullptr, false).is_object());
    EXPECT_NE(job["statusAfter"], nullptr);
    std::vector<std::string> names;
    for (const json& f : job["files"]) names.push_back(f["name"]);
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = {r.name, "second"};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
    const svc::Reply file = s.get("/v1/jobs/" + std::to_string(id) + "/files/" + r.name);
    EXPECT_EQ(file.status, 200);
    if (journal.empty()) journal = file.text;
    EXPECT_EQ(file.text, journal);
    EXPECT_FALSE(journal.empty());
  }
}

}  // namespace

// cassardd against real ecrsim registers: every endpoint and every refusal, one receipt
// per key however often it is posted, crashes at each point of a receipt's life, a
// register that falls silent or is unplugged, and load.

#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "service/store.h"
#include "service_rig.h"

namespace {

using svc::json;
using svc::receipt;
using Headers = std::vector<std::pair<std::string, std::string>>;

TEST(Api, EveryEndpointAndEveryRefusal) {
  svc::Service s({.token = "s3cret", .origins = R"(["http://till.local"])"});
  json fiscal = receipt();
  fiscal["fiscalReport"] = true;
  const svc::Reply first = s.post("cassa1", "k1", fiscal);
  ASSERT_EQ(first.status, 201) << first.text;
  EXPECT_EQ(first.header("Location"), "/v1/jobs/1");
  EXPECT_EQ(s.waitJob(1)["state"], "done");

  const std::string auth = "Bearer s3cret";
  const std::string rcpt = "/v1/registers/cassa1/receipts";
  const std::string ok = receipt().dump();
  struct Row {
    std::string method, path, body;
    Headers headers;
    int status;
    std::string code, field;  // of the error, when one is expected
  };
  // One row a request: method, path, body, headers; the status, error code and field.
  const std::string idem = "Idempotency-Key", jobs1 = "/v1/registers/cassa1/jobs",
                    resolve = "/v1/jobs/1/resolve";
  const Headers anon{{"Authorization", ""}}, k1{{idem, "k1"}}, k2{{idem, "k2"}}, k3{{idem, "k3"}};
  const auto priced = [](const std::string& price) {
    return R"({"items": [{"description": "X", "price": )" + price + R"(}], "payments": []})";
  };
  json late = receipt();
  late["expiresAt"] = "2026-12-07 12:00";  // no T, no zone
  // clang-format off
  const Row rows[] = {
      {"GET", "/healthz", "", anon, 200, "", ""},
      {"GET", "/v1/openapi.json", "", anon, 200, "", ""},
      {"GET", "/v1/registers", "", anon, 401, "unauthorized", "Authorization"},
      {"GET", "/v1/registers", "", {{"Authorization", "Bearer wrong"}}, 401, "unauthorized", "Authorization"},
      {"GET", "/metrics", "", anon, 401, "unauthorized", "Authorization"},
      {"GET", "/metrics", "", {}, 200, "", ""},
      {"GET", "/v1/registers", "", {}, 200, "", ""},
      {"GET", "/v1/registers/cassa2", "", {}, 200, "", ""},
      {"GET", "/v1/registers/nope", "", {}, 404, "unknown_register", "name"},
      {"GET", "/v1/registers/..%2Fetc", "", {}, 400, "invalid", "name"},
      {"GET", rcpt, "", {}, 405, "method_not_allowed", ""},
      {"POST", "/v1/registers/nope/receipts", ok, k2, 404, "unknown_register", "name"},
      {"POST", "/v1/registers/a%2F..%2Fb/receipts", ok, k2, 400, "invalid", "name"},
      {"POST", rcpt, ok, {}, 400, "missing_idempotency_key", idem},
      {"POST", rcpt, ok, {{idem, "a key"}}, 400, "bad_idempotency_key", idem},
      {"POST", rcpt, ok, {{idem, std::string(65, 'k')}}, 400, "bad_idempotency_key", idem},
      {"POST", rcpt, ok, {k2[0], {"Content-Type", "text/plain"}}, 415, "unsupported_media_type", "Content-Type"},
      {"POST", rcpt, "{\"items\": [", k2, 400, "bad_json", ""},
      {"POST", rcpt, priced("1.5"), k2, 400, "invalid", "items[0].price"},
      {"POST", rcpt, priced("1e400"), k2, 400, "bad_json", "items[0].price"},
      {"POST", rcpt, R"({"items": [], "extra": 1})", k2, 400, "unknown_field", "extra"},
      {"POST", rcpt, late.dump(), k2, 400, "invalid", "expiresAt"},
      {"POST", rcpt, std::string(70000, ' '), k2, 413, "too_large", ""},
      {"POST", rcpt, fiscal.dump(), k1, 200, "", ""},
      {"POST", rcpt, ok, k1, 409, "key_reused", idem},
      {"POST", jobs1, R"({"kind": "bogus"})", k3, 400, "invalid", "kind"},
      {"POST", jobs1, fiscal.dump(), k1, 409, "key_reused", idem},
      {"POST", "/v1/registers/cassa2/jobs", R"({"kind": "status"})", k1, 201, "", ""},
      {"POST", "/v1/registers/cassa1/resume", "", {}, 409, "not_held", ""},
      {"GET", "/v1/jobs?state=done&register=cassa1&limit=1", "", {}, 200, "", ""},
      {"GET", "/v1/jobs?state=bogus", "", {}, 400, "invalid", "state"},
      {"GET", "/v1/jobs?limit=0", "", {}, 400, "invalid", "limit"},
      {"GET", "/v1/jobs?limit=501", "", {}, 400, "invalid", "limit"},
      {"GET", "/v1/jobs?before=x", "", {}, 400, "invalid", "before"},
      {"GET", "/v1/jobs?register=nope", "", {}, 400, "invalid", "register"},
      {"GET", "/v1/jobs?colour=1", "", {}, 400, "unknown_field", "colour"},
      {"GET", "/v1/jobs?q=" + std::string(65, '1'), "", {}, 400, "invalid", "q"},
      {"GET", "/v1/jobs?from=2026-02-31", "", {}, 400, "invalid", "from"},
      {"GET", "/v1/jobs?to=2026-12-07T24:00:00Z", "", {}, 400, "invalid", "to"},
      {"GET", "/v1/jobs?to=7/12/2026", "", {}, 400, "invalid", "to"},
      {"GET", "/v1/service", "", {}, 200, "", ""},
      {"POST", "/v1/service", "", {}, 405, "method_not_allowed", ""},
      {"GET", "/v1/jobs/1", "", {}, 200, "", ""},
      {"GET", "/v1/jobs/999", "", {}, 404, "unknown_job", "id"},
      {"GET", "/v1/jobs/abc", "", {}, 400, "invalid", "id"},
      {"GET", "/v1/jobs/1/files/sales.fis", "", {}, 200, "", ""},
      {"GET", "/v1/jobs/1/files/sales.ECR", "", {}, 404, "unknown_file", "name"},
      {"GET", "/v1/jobs/1/files/..%2F..%2Fcassardd.db", "", {}, 400, "invalid", "name"},
      {"GET", "/v1/nothing", "", {}, 404, "not_found", ""},
      {"DELETE", "/v1/jobs/1", "", {}, 409, "not_queued", ""},
      {"DELETE", "/v1/jobs/999", "", {}, 404, "unknown_job", "id"},
      {"DELETE", "/v1/registers/cassa1", "", {}, 405, "method_not_allowed", ""},
      {"POST", resolve, R"({"outcome": "done", "receiptNumber": "0124"})", {}, 409, "not_attention", ""},
      {"POST", resolve, R"({"outcome": "maybe"})", {}, 400, "invalid", "outcome"},
      {"POST", resolve, R"({"outcome": "done"})", {}, 400, "invalid", "receiptNumber"},
      {"POST", resolve, R"({"outcome": "failed", "receiptNumber": "0124"})", {}, 400, "invalid", "receiptNumber"},
      {"POST", resolve, R"({"outcome": "failed", "by": "me"})", {}, 400, "unknown_field", "by"},
      {"GET", "/", "", anon, 200, "", ""},
      {"GET", "/app.js", "", anon, 200, "", ""},
      {"GET", "/%2e%2e/secret.txt", "", {}, 400, "invalid", "path"},
      {"GET", "/missing.html", "", {}, 404, "not_found", ""},
      {"GET", "/v1/registers", "", {{"Origin", "http://evil.example"}}, 403, "forbidden", "Origin"},
      {"GET", "/v1/registers", "", {{"Host", "evil.example"}}, 403, "forbidden", "Host"},
      {"GET", "/v1/registers", "", {{"Origin", "http://till.local"}}, 200, "", ""},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.method + " " + r.path);
    Headers h = r.headers;
    if (std::none_of(h.begin(), h.end(), [](const auto& p) { return p.first == "Authorization"; }))
      h.emplace_back("Authorization", auth);
    const svc::Reply got = s.request(r.method, r.path, r.body, h);
    EXPECT_EQ(got.status, r.status) << got.text;
    if (!r.code.empty()) {
      ASSERT_TRUE(got.body.contains("error")) << got.text;
      EXPECT_EQ(got.body["error"]["code"], r.code);
      EXPECT_EQ(got.body["error"]["field"], r.field.empty() ? json(nullptr) : json(r.field));
      EXPECT_FALSE(got.body["error"]["message"].get<std::string>().empty());
    }
  }
  // What the rows above read, in a few words each.
  EXPECT_EQ(s.get("/v1/jobs/1/files/sales.fis").text.rfind("[FISCALI]\n", 0), 0u);
  EXPECT_NE(s.get("/metrics").text.find("cassardd_jobs{register=\"cassa1\",state=\"done\"} 1"),
            std::string::npos);
  EXPECT_EQ(s.get("/v1/openapi.json").body["openapi"], "3.0.3");
  const svc::Reply page = s.get("/");
  EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(s.get("/app.js").header("Content-Type"), "text/javascript; charset=utf-8");
  const svc::Reply cors = s.request("GET", "/v1/registers", "", {{"Origin", "http://till.local"}});
  EXPECT_EQ(cors.header("Access-Control-Allow-Origin"), "http://till.local");
  const svc::Reply preflight = s.request("OPTIONS", "/v1/registers/cassa1/receipts", "",
                                         {{"Origin", "http://till.local"},
                                          {"Access-Control-Request-Private-Network", "true"},
                                          {"Authorization", ""}});
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(preflight.header("Access-Control-Allow-Private-Network"), "true");
  const json reg = s.get("/v1/registers/cassa1").body;
  EXPECT_EQ(reg["lastStatus"]["receiptNumber"], "0124");
  EXPECT_EQ(reg["payments"].size(), 3u);

  // Nothing refused was queued, and the service still serves.
  const json all = s.get("/v1/jobs").body;
  EXPECT_EQ(all["jobs"].size(), 2u) << all.dump();
  EXPECT_EQ(s.receiptsOnRoll(0), 1);
  EXPECT_EQ(s.get("/healthz").status, 200);

  // The search: a receipt number with or without its zeros, a key, a total as cents or
  // euros (2.5 x 1,25 is 3,125, which the register rounds up to 3,13), and dates.
  json half = receipt("MELE", 125);
  half["items"][0]["quantity"] = 2.5;
  half["payments"][0]["amount"] = 313;
  ASSERT_EQ(s.post("cassa1", "search-q", half).status, 201);
  ASSERT_EQ(s.waitJob(3)["receiptNumber"], "0125");
  const std::string firstAt = s.get("/v1/jobs/1").body["createdAt"];
  const std::string today = firstAt.substr(0, 10);
  const std::vector<std::pair<std::string, std::vector<int>>> searches = {
      {"q=0124", {1}},
      {"q=124", {1}},
      {"q=125", {3, 1}},  // receipt 0125, and a total of 125 cents
      {"q=1,25", {1}},
      {"q=3,13", {3}},
      {"q=3.12", {}},
      {"q=search-q", {3}},
      {"q=k1", {2, 1}},
      {"q=k1&register=cassa2", {2}},
      {"from=" + today, {3, 2, 1}},
      {"to=" + today + "&q=3,13", {3}},
      {"to=2000-01-01", {}},
      {"to=" + firstAt, {1}},  // an instant is taken in
      {"from=2999-01-01T00:00:00%2B01:00", {}},
  };
  for (const auto& [query, ids] : searches) {
    const json got = s.get("/v1/jobs?" + query).body;
    std::vector<int> seen;
    for (const json& j : got["jobs"]) seen.push_back(j["id"]);
    EXPECT_EQ(seen, ids) << query << ": " << got.dump();
  }

  // What a technician reads about the service.
  const json svc = s.get("/v1/service").body;
  EXPECT_EQ(svc["version"], s.get("/healthz").body["version"]);
  EXPECT_EQ(svc["listen"], "127.0.0.1:" + std::to_string(s.port()));
  EXPECT_EQ(svc["registers"][0]["name"], "cassa1");
  EXPECT_EQ(svc["registers"][0]["payments"].size(), 3u);
  EXPECT_GT(svc["store"]["bytes"].get<int64_t>(), 0);
  EXPECT_GT(svc["disk"]["freeBytes"].get<int64_t>(), 0);
  EXPECT_GE(svc["uptimeS"].get<int64_t>(), 0);
}

TEST(Api, EventsCarryJobsAndRegisters) {
  svc::Service s({.token = "s3cret"});
  std::string stream;
  std::thread reader([&] {
    httplib::Client cli("127.0.0.1", s.port());
    cli.Get("/v1/events?access_token=s3cret", [&](const char* data, size_t n) {
      stream.append(data, n);
      return stream.find("\"state\":\"done\"") == std::string::npos;
    });
  });
  // The stream opens with every register; a receipt then shows up to its end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (stream.find("event: register") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(s.post("cassa2", "e1", receipt()).status, 201);
  reader.join();
  for (const char* seen :
       {"event: register\ndata: {", "\"name\":\"cassa2\"", "event: job\ndata: {",
        "\"state\":\"queued\"", "\"state\":\"running\"", "\"receiptNumber\":\"0124\""})
    EXPECT_NE(stream.find(seen), std::string::npos) << seen << "\n" << stream;
}

TEST(Money, TheJobsTotalAndChangeAreTheRegisters) {
  svc::Service s({.control = true});
  const json pane = {{"description", "PANE"}, {"price", 125}, {"quantity", 2.5}};     // 312.5
  const json latte = {{"description", "LATTE"}, {"price", 99}, {"quantity", 0.333}};  // 32.967
  json giveBack = pane;
  giveBack["return"] = true;
  struct Row {
    const char* legend;
    json items, payments;
    long long total, change;
  };
  const Row rows[] = {
      {"weighed goods by card",
       json::array({pane}),
       {{{"method", "carta"}, {"amount", 313}}},
       313,
       0},
      {"cash gives change",
       json::array({pane}),
       {{{"method", "contanti"}, {"amount", 500}}},
       313,
       187},
      {"the rest by cash after a card",
       json::array({pane, latte}),
       {{{"method", "carta"}, {"amount", 100}}, {{"method", "contanti"}}},
       346,
       0},
      {"a return, with change",
       json::array({{{"description", "VINO"}, {"price", 1000}}, giveBack}),
       {{{"method", "contanti"}, {"amount", 700}}},
       687,
       13},
  };
  int id = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const svc::Reply posted = s.post("cassa1", "m" + std::to_string(++id),
                                     {{"items", r.items}, {"payments", r.payments}});
    ASSERT_EQ(posted.status, 201) << posted.text;
    EXPECT_EQ(posted.body["total"], r.total);
    EXPECT_EQ(posted.body["change"], r.change);
    EXPECT_EQ(s.waitJob(id)["state"], "done");
    const json last = s.control(0, "state")["lastReceipt"];
    EXPECT_EQ(last["total"], r.total) << last.dump();
    EXPECT_EQ(last["change"], r.change) << last.dump();
  }
}

TEST(ExactlyOnce, FiftyConcurrentPostsOfOneKey) {
  svc::Service s;
  std::vector<svc::Reply> replies(50);
  std::latch go(50);
  std::vector<std::thread> posters;
  for (int i = 0; i < 50; ++i)
    posters.emplace_back([&, i] {
      go.arrive_and_wait();
      replies[static_cast<std::size_t>(i)] = s.post("cassa1", "the-one", receipt("LATTE", 129));
    });
  for (auto& t : posters) t.join();
  int created = 0, found = 0;
  std::set<int64_t> ids;
  for (const svc::Reply& r : replies) {
    ASSERT_TRUE(r.body.is_object()) << r.status << " " << r.text;
    created += r.status == 201;
    found += r.status == 200;
    ids.insert(r.body.value("id", int64_t{0}));
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(found, 49);
  EXPECT_EQ(ids, std::set<int64_t>{1});
  EXPECT_EQ(s.waitJob(1)["state"], "done");
  EXPECT_EQ(s.receiptsOnRoll(0), 1);
}

TEST(Load, TwentyClientsTwentyFiveReceiptsEach) {
  svc::Service s;
  std::vector<std::vector<int64_t>> ids(20);
  std::atomic<int> bad{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 20; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < 25; ++i) {
        const std::string reg = (c + i) % 2 ? "cassa1" : "cassa2";
        const svc::Reply r = s.post(reg, "c" + std::to_string(c) + "-" + std::to_string(i),
                                    receipt("PANE", 100 + i));
        if (r.status != 201) {
          ++bad;
          continue;
        }
        ids[static_cast<std::size_t>(c)].push_back(r.body["id"].get<int64_t>());
        if (s.get("/v1/registers").status != 200) ++bad;
      }
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(bad, 0);
  std::map<std::string, std::set<std::string>> numbers;
  for (const auto& list : ids)
    for (int64_t id : list) {
      const json job = s.waitJob(id, {"done", "failed", "attention"}, std::chrono::seconds(120));
      EXPECT_EQ(job["state"], "done") << job.dump();
      numbers[job["register"]].insert(job.value("receiptNumber", ""));
    }
  EXPECT_EQ(numbers["cassa1"].size(), 250u) << "every receipt its own number";
  EXPECT_EQ(numbers["cassa2"].size(), 250u);
  EXPECT_EQ(s.receiptsOnRoll(0), 250);
  EXPECT_EQ(s.receiptsOnRoll(1), 250);
  EXPECT_EQ(s.term(), 0);
  cassardd::Store store((s.dir() / "state" / "cassardd.db").string());
  EXPECT_EQ(store.integrityCheck(), "ok");
}

}  // namespace

namespace {

TEST(Api, LinesAndDownloadJobs) {
  svc::Service s;
  const svc::Reply lines =
      s.postJob("cassa1", "l1",
                {{"kind", "lines"}, {"lines", {"01CAFFE           00000012001", "11", "99"}}});
  ASSERT_EQ(lines.status, 201) << lines.text;
  const json done = s.waitJob(lines.body["id"]);
  EXPECT_EQ(done["state"], "done") << done.dump();
  EXPECT_EQ(done["lines"][0], "01CAFFE           00000012001") << "sent as written (a short form)";
  const svc::Reply dl =
      s.postJob("cassa1", "d1", {{"kind", "download"}, {"download", "journal-hex"}});
  ASSERT_EQ(dl.status, 201) << dl.text;
  const json job = s.waitJob(dl.body["id"]);
  EXPECT_EQ(job["state"], "done") << job.dump();
  ASSERT_EQ(job["files"].size(), 1u) << job.dump();
  EXPECT_EQ(job["files"][0]["name"], "journal.txt");
  // The same download by hand on the other register, from the same profile: the same file.
  ASSERT_EQ(s.reg(1).cassard(sales::line("55", "journal.txt-", "", "00")).status, 0);
  const svc::Reply file = s.get(job["files"][0]["url"].get<std::string>());
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.text, s.reg(1).file("journal.txt"));
  EXPECT_FALSE(file.text.empty());
}

TEST(Cli, HelpVersionAndRefusedConfigurations) {
  struct Row {
    std::vector<std::string> args;
    std::string config;  // written to the file --config names, when not empty
    int status;
    std::string out, err;  // the start of stdout, stderr
  };
  const Row rows[] = {
      {{"--version"}, "", 0, "cassardd (cassard) ", ""},
      {{"--help"}, "", 0, "Usage: cassardd [--config FILE]\n", ""},
      {{"--frobnicate"}, "", 2, "", "cassardd: unknown option --frobnicate"},
      {{"extra"}, "", 2, "", "cassardd: unexpected argument extra"},
      {{"--config", "/nonexistent/cassardd.toml"},
       "",
       2,
       "",
       "cassardd: /nonexistent/cassardd.toml: cannot be read\n"},
      {{"--config"},
       "[registers.a]\ndevice = \"/dev/x\"\nspeed = 1\n",
       2,
       "",
       "cassardd: registers.a.speed: unknown key (known: device, settings, payments, max_total, "
       "queue_limit_s, settle_limit_s)\n"},
      {{"--config"},
       "cassard = \"/nonexistent/cassard\"\n[registers.a]\ndevice = \"/dev/x\"\n",
       2,
       "",
       "cassardd: cassard: /nonexistent/cassard is not an executable file\n"},
      {{"--config"},
       "tls_cert = \"/nonexistent/c.pem\"\ntls_key = \"/nonexistent/k.pem\"\n[registers.a]\ndevice "
       "= "
       "\"/dev/x\"\n",
       2,
       "",
       "cassardd: tls_cert: /nonexistent/c.pem: cannot be read\n"},
  };
  const std::string dir = testing::TempDir();
  for (const Row& r : rows) {
    std::vector<std::string> args = r.args;
    if (!r.config.empty()) {
      std::ofstream(dir + "/bad.toml") << r.config;
      args.push_back(dir + "/bad.toml");
    }
    SCOPED_TRACE(args.back());
    std::string cmd = std::string(CASSARDD_BIN);
    for (const std::string& a : args) cmd += " '" + a + "'";
    const std::string outFile = dir + "/out.txt", errFile = dir + "/err.txt";
    const int rc = std::system((cmd + " >" + outFile + " 2>" + errFile).c_str());
    EXPECT_EQ(WEXITSTATUS(rc), r.status);
    std::stringstream out, err;
    out << std::ifstream(outFile).rdbuf();
    err << std::ifstream(errFile).rdbuf();
    EXPECT_EQ(out.str().rfind(r.out, 0), 0u) << out.str();
    EXPECT_EQ(err.str().rfind(r.err, 0), 0u) << err.str();
  }
}

TEST(Service, StopsWhenTheStopComesRightAfterReady) {
  // The stop must reach a listener that had not yet started when "ready" was printed.
  svc::Service s;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(s.term(std::chrono::seconds(10)), 0) << "start " << i << "\n" << s.log();
    s.start();
  }
}

TEST(Service, TellsSystemdItIsReadyAndAlive) {
  // systemd's side: a datagram socket named by NOTIFY_SOCKET, and a watchdog of 200 ms.
  const std::string path = testing::TempDir() + "/notify-" + std::to_string(getpid());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);
  svc::Service s;
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  std::string heard;
  pollfd p{fd, POLLIN, 0};
  while (heard.find("WATCHDOG=1") == std::string::npos && poll(&p, 1, 3000) > 0) {
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) heard.append(buf, static_cast<std::size_t>(n)).push_back('|');
  }
  EXPECT_NE(heard.find("READY=1"), std::string::npos) << heard;
  EXPECT_LT(heard.find("READY=1"), heard.find("WATCHDOG=1")) << heard;
  // systemd keeps reading: a socket queue left full (10 datagrams) would block the
  // service's next notification, and with it the stop.
  std::atomic<bool> stopped{false};
  std::thread drain([&] {
    while (!stopped) {
      char buf[512];
      if (poll(&p, 1, 50) > 0) recv(fd, buf, sizeof buf, 0);
    }
  });
  EXPECT_EQ(s.term(), 0);
  stopped = true;
  drain.join();
  close(fd);
  unlink(path.c_str());
}

}  // namespace

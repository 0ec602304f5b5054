#include "service/restore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "service/child.h"
#include "service/folder.h"
#include "service/settle.h"
#include "service/trace.h"

namespace cassardd {

namespace fs = std::filesystem;

std::string someIds(const std::vector<int64_t>& ids) {
  std::string out;
  for (std::size_t i = 0; i < ids.size() && i < 10; ++i)
    out += (i ? ", " : "") + std::to_string(ids[i]);
  if (ids.size() > 10) out += " and " + std::to_string(ids.size() - 10) + " more";
  return out;
}

namespace {

// What the job's trace and files say became of it. A final state the trace recorded was
// committed by the store that is lost; a run whose readings before and after are both
// on the disk is settled from them as at its end; a job that never started is queued
// again; anything else waits for a person with the register's journal.
Job outcomeFromFiles(const TraceRecord& r, const fs::path& dir) {
  Job j = r.job;
  const std::string last = r.last ? r.last->value("state", "") : "";
  std::error_code ec;
  // The last line is written after each commit, and a run's sales file before the commit
  // that starts it: a run file newer than the trace is a start whose line is missing.
  const auto traced = fs::last_write_time(dir / kTraceFile, ec);
  bool started = last != "queued";
  for (const char* f : {kSalesFile, kFilesDir, kStatusBeforeFile})
    started = started || (fs::exists(dir / f, ec) && fs::last_write_time(dir / f, ec) > traced);
  if (last == "done" || last == "failed") {
    j.state = last == "done" ? JobState::Done : JobState::Failed;
    if (r.last->value("receiptNumber", nlohmann::json()).is_string())
      j.receiptNumber = (*r.last)["receiptNumber"].get<std::string>();
    j.reasonCode = r.last->value("reasonCode", "");
    j.reasonParams = r.last->value("reasonParams", nlohmann::json::object());
    j.settledBy = r.last->value("settledBy", "run");
    j.endedAt = r.last->value("at", "");
    j.exitStatus = r.exitStatus;
    j.reason = "taken back after a restore from its trace: " + std::string(stateName(j.state)) +
               (j.reasonCode.empty() ? "" : " (" + j.reasonCode + ")");
    return j;
  }
  if (!started) {
    j.state = JobState::Queued;
    return j;
  }
  j.before = parseStatus(readFile(dir / kStatusBeforeFile));
  j.after = parseStatus(readFile(dir / kStatusFile));
  j.exitStatus = r.exitStatus ? r.exitStatus : exitStatusLeft(dir);
  if (j.is(JobKind::Receipt) && j.before && j.after) {
    // How far the run went: the line its failure names; a run whose end no trace line
    // recorded delivered nothing that can be counted on.
    std::optional<int> failedLine;
    if (const auto f = parseFailureLine(readFile(dir / kStderrFile)); f && f->line > 0)
      failedLine = f->line;
    const Outcome o = settleReceipt(*j.before, j.exitStatus, j.after,
                                    deliveryOf(j.lines, j.exitStatus, failedLine));
    if (o.state != JobState::Uncertain) {
      j.state = o.state;
      j.reason = "taken back after a restore, settled from its run's readings: " + o.reason;
      j.reasonCode = o.reasonCode;
      j.reasonParams = o.reasonParams;
      j.receiptNumber = o.receiptNumber;
      if (isFinal(o.state)) {
        j.settledBy = "register";
        j.endedAt = utcNow();
      }
      return j;
    }
  }
  j.state = JobState::Attention;
  j.reasonCode = "restored_unsettled";
  j.reasonParams = nlohmann::json::object();
  j.reason =
      "taken back after a restore: its files do not tell what the register did; check the "
      "register's journal, then resolve it";
  return j;
}

}  // namespace

std::vector<int64_t> behindTraces(const std::string& stateDir, Store& store) {
  std::vector<int64_t> behind;
  for (JobState state :
       {JobState::Queued, JobState::Running, JobState::Uncertain, JobState::Attention}) {
    Store::Filter f;
    f.state = state;
    f.limit = 1 << 30;
    for (const Job& j : store.list(f)) {
      std::optional<TraceRecord> r;
      try {
        r = readTrace(StateFolder{stateDir}.job(j.id));
      } catch (const StoreError&) {
      }
      if (!r || !r->last || r->job.key != j.key) continue;
      const std::string last = r->last->value("state", "");
      if (last == "done" || last == "failed" || (state == JobState::Queued && last != "queued"))
        behind.push_back(j.id);
    }
  }
  std::sort(behind.begin(), behind.end());
  return behind;
}

std::vector<int64_t> setAsideUnacknowledged(const std::string& stateDir, Store& store,
                                            std::vector<int64_t>& unknown) {
  std::vector<int64_t> aside;
  const fs::path jobs = StateFolder{stateDir}.jobs();
  for (int64_t id : unknown) {
    std::optional<TraceRecord> r;
    try {
      r = readTrace(jobs / std::to_string(id));
    } catch (const StoreError&) {
      continue;  // a damaged trace is left for a person: the start names it
    }
    if (r && !r->committed && r->job.id == id && !store.find(r->job.reg, r->job.key) &&
        !store.findPruned(r->job.reg, r->job.key))
      aside.push_back(id);
  }
  if (aside.empty()) return aside;
  raiseIdMark(stateDir, aside.back());
  const fs::path to = StateFolder{stateDir}.unacknowledged();
  fs::create_directories(to);
  for (int64_t id : aside) {
    std::error_code ec;
    fs::rename(jobs / std::to_string(id), to / std::to_string(id), ec);
    if (ec)
      throw StoreError("cannot move " + (jobs / std::to_string(id)).string() + " to " +
                       to.string() + ": " + ec.message());
    std::cerr << "cassardd: job directory " << id
              << " holds a request that was never committed nor answered (the service ended "
                 "before its commit): set aside in "
              << (to / std::to_string(id)).string() << std::endl;
  }
  std::erase_if(unknown, [&](int64_t id) {
    return std::find(aside.begin(), aside.end(), id) != aside.end();
  });
  return aside;
}

namespace {

// The backup checked and copied beside the store, then put in its place; the store it
// replaces is kept beside it. What was done, for the report.
std::string putBackupInPlace(const std::string& db, const std::string& backup) {
  // Checked and copied beside the store first: a backup that fails leaves all as it was.
  const std::string incoming = db + ".restoring";
  const BackupCount n = backupStore(backup, incoming);
  std::error_code ec;
  std::string kept;
  if (fs::exists(db, ec)) {
    std::string stamp = utcNow();
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    kept = db + ".replaced-" + stamp;
    for (const char* side : {"", "-wal", "-shm"})
      if (fs::exists(db + side, ec)) {
        fs::rename(db + side, kept + side, ec);
        if (ec) throw StoreError("cannot move " + db + side + " aside: " + ec.message());
      }
  }
  fs::rename(incoming, db, ec);
  if (ec) throw StoreError("cannot put " + incoming + " in place: " + ec.message());
  return "the backup " + backup + " put in place of the store (" + std::to_string(n.jobs) +
         " jobs, " + std::to_string(n.pruned) + " keys of pruned jobs)" +
         (kept.empty() ? "" : "; the store it replaced is kept as " + kept) + "; ";
}

struct TakenBack {
  std::vector<int64_t> back, untraced, refused, forward;
  int queued = 0, settled = 0, unsettled = 0;
};

void logTaken(const Job& j, const char* how) {
  std::cerr << "cassardd: job " << j.id << " (register " << j.reg << ", key " << j.key << ") "
            << how << ": " << stateName(j.state)
            << (j.reasonCode.empty() ? "" : " (" + j.reasonCode + ")") << std::endl;
}

// Each directory the store does not know, taken back from its trace and files; one
// without a readable trace, or whose key names another job, is left for a person.
void takeBackUnknown(Store& store, const StateFolder& folder, const std::vector<int64_t>& unknown,
                     TakenBack& t) {
  for (int64_t id : unknown) {
    const fs::path dir = folder.job(id);
    std::optional<TraceRecord> r;
    try {
      r = readTrace(dir);
    } catch (const StoreError& e) {
      std::cerr << "cassardd: " << e.what() << std::endl;
    }
    if (!r || r->job.id != id) {
      t.untraced.push_back(id);
      continue;
    }
    if (store.find(r->job.reg, r->job.key) || store.findPruned(r->job.reg, r->job.key)) {
      std::cerr << "cassardd: job directory " << id << ": its key " << r->job.key << " (register "
                << r->job.reg << ") names another job in the store" << std::endl;
      t.refused.push_back(id);
      continue;
    }
    const Job j = outcomeFromFiles(*r, dir);
    store.takeBack(j);
    t.back.push_back(id);
    if (j.state == JobState::Queued) {
      ++t.queued;
    } else if (j.reasonCode == "restored_unsettled") {
      ++t.unsettled;
    } else {
      ++t.settled;
    }
    logTaken(j, "taken back");
  }
}

// What was taken back, on stdout; what is left for a person, on stderr. 1 when a person
// must look.
int reportTakeBack(const std::string& said, const TakenBack& t, std::size_t aside,
                   const fs::path& jobs) {
  std::cout << "cassardd: " << said << "took back " << t.back.size() << " job directories"
            << (t.back.empty() ? "" : " (" + someIds(t.back) + ")") << ": " << t.queued
            << " queued, " << t.settled << " settled from their files, " << t.unsettled
            << " in attention (restored_unsettled); " << aside
            << " never acknowledged set aside; brought forward from their traces "
            << t.forward.size() << " jobs the store had as undecided"
            << (t.forward.empty() ? "" : " (" + someIds(t.forward) + ")") << std::endl;
  if (t.untraced.empty() && t.refused.empty()) return 0;
  std::cerr << "cassardd: left in " << jobs.string() << ": "
            << (t.untraced.empty()
                    ? ""
                    : std::to_string(t.untraced.size()) + " job directories without a trace (" +
                          someIds(t.untraced) + ")")
            << (t.untraced.empty() || t.refused.empty() ? "" : "; ")
            << (t.refused.empty() ? ""
                                  : std::to_string(t.refused.size()) +
                                        " whose key names another job (" + someIds(t.refused) + ")")
            << ": compare them with the register's journal, then move them out of " << jobs.string()
            << std::endl;
  return 1;
}

}  // namespace

int restoreState(const Config& cfg, const std::optional<std::string>& backup) {
  const StateFolder folder{cfg.stateDir};
  const std::string db = folder.store().string();
  try {
    const std::string said = backup ? putBackupInPlace(db, *backup) : "";
    Store store(db);
    if (const std::string check = store.quickCheck(); check != "ok")
      throw StoreError("the store " + db + " is damaged: " + check.substr(0, 300));
    JobTrace trace(cfg.stateDir);
    store.setTrace(&trace);  // each job taken back says so in its trace
    const std::vector<int64_t> dirs = jobDirIds(cfg.stateDir);
    std::vector<int64_t> pruned;
    std::vector<int64_t> unknown = store.unknownJobs(dirs, &pruned);
    const std::vector<int64_t> aside = setAsideUnacknowledged(cfg.stateDir, store, unknown);
    TakenBack t;
    takeBackUnknown(store, folder, unknown, t);
    for (int64_t id : behindTraces(cfg.stateDir, store)) {
      const fs::path dir = folder.job(id);
      const Job j = outcomeFromFiles(*readTrace(dir), dir);
      store.takeBack(j);
      t.forward.push_back(id);
      logTaken(j, "brought forward from its trace");
    }
    store.raiseJobIdMark(std::max(dirs.empty() ? 0 : dirs.back(), readIdMark(cfg.stateDir)));
    return reportTakeBack(said, t, aside.size(), folder.jobs());
  } catch (const std::exception& e) {
    std::cerr << "cassardd: " << (backup ? "restore" : "take-back") << " failed: " << e.what()
              << std::endl;
    return 1;
  }
}

}  // namespace cassardd

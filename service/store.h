// The store: SQLite in WAL mode with synchronous FULL. Jobs, their keys, the registers'
// held state and last status, and the event log. The only code that writes SQL.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/db.h"
#include "service/job.h"
#include "service/job_json.h"
#include "service/read_pool.h"
#include "service/settle.h"
#include "service/when.h"

namespace cassardd {

struct Held {
  std::string reason;
  std::optional<int64_t> jobId;
  std::string reasonCode;
  nlohmann::json reasonParams = nlohmann::json::object();
};

struct RegisterRow {
  std::optional<Held> held;
  std::optional<RegisterStatus> lastStatus;
  std::optional<std::string> lastStatusAt;
};

// A job's move the state machine does not allow, or a job not in the state named.
struct MoveRefused : StoreError {
  using StoreError::StoreError;
};

class JobTrace;  // each job's trace beside the store (trace.h)

class Store {
 public:
  explicit Store(const std::string& path);
  ~Store();  // close(), its fault on stderr
  // Closes both connections; empty, or what SQLite said when one would not close (a
  // statement left unfinalized). Nothing may use the store after it.
  std::string close();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // After a restart: every job that was running becomes uncertain.
  std::vector<Job> recoverRunning();

  enum class Created { New, Same, Conflict };
  struct CreateResult {
    Created outcome;
    Job job;                          // empty when the key names a pruned job
    std::optional<PrunedJob> pruned;  // the key's job, pruned after keep_days
  };
  // (register, key) names one job for good, also once the job is pruned: the same request
  // finds it again, a different one is a conflict. A new job's id is above every id the
  // store has given; the job is committed before this returns.
  CreateResult create(const std::string& reg, const std::string& key, const std::string& kind,
                      const std::string& request, const std::vector<std::string>& lines,
                      const JobExtras& extras = {});

  std::optional<Job> get(int64_t id);
  std::optional<Job> find(const std::string& reg, const std::string& key);
  std::optional<PrunedJob> findPruned(const std::string& reg, const std::string& key);
  struct Filter {
    std::optional<std::string> reg;
    std::optional<JobState> state;
    int limit = 50;
    std::optional<int64_t> before;
    // A search: the receipt number or the key as given, or a receipt's total in cents.
    std::optional<std::string> text;
    std::optional<int64_t> cents;
    // createdAt from (inclusive) and to (exclusive), as RFC 3339 UTC with milliseconds.
    std::optional<std::string> from, to;
  };
  std::vector<Job> list(const Filter& f);
  // The register's oldest job in `state` (of `kind` only, when given).
  std::optional<Job> next(const std::string& reg, JobState state,
                          const std::optional<std::string>& kind = std::nullopt);
  int64_t count(const std::string& reg, JobState state);

  // The moves of a job's life; each refuses a move the state machine does not allow, or a
  // job that is no longer in `from`.
  Job start(int64_t id, const std::optional<RegisterStatus>& before);
  Job finish(int64_t id, JobState from, JobState to, const RunResult* run,
             const std::optional<RegisterStatus>& after, const std::string& reason,
             const std::optional<std::string>& receiptNumber);
  Job finish(int64_t id, JobState from, JobState to, const RunResult* run,
             const std::optional<RegisterStatus>& after, const Verdict& verdict);

  // Back in the queue from running or uncertain, when the run sent nothing: its reading
  // before the first line found a sale open, or it ended before that reading.
  Job requeue(int64_t id, JobState from, const RunResult* run);
  // The register's queued jobs whose expiresAt (RFC 3339 UTC, as utcNow) is not after
  // `now`, and the soonest expiresAt among its queued jobs.
  std::vector<int64_t> expiredQueued(const std::string& reg, const std::string& now);
  std::optional<std::string> nextExpiry(const std::string& reg);

  RegisterRow registerRow(const std::string& reg);
  void setHeld(const std::string& reg, const std::optional<Held>& held);
  void setLastStatus(const std::string& reg, const RegisterStatus& s);

  // Events: an increasing id, a type ("job", "register") and one line of JSON.
  struct Event {
    int64_t id;
    std::string type, data;
  };
  int64_t appendEvent(const std::string& type, const nlohmann::json& data);
  std::vector<Event> eventsAfter(int64_t id, int limit = 500);
  int64_t lastEventId();
  // Waits until an event after `id` exists, `timeout` passes, or `stop` is true (set
  // before a wake(), so that a stop told just before the wait is not missed).
  void waitForEvent(int64_t id, std::chrono::milliseconds timeout, const std::atomic<bool>& stop);
  void wake();

  // Counts the commits that changed jobs: what was read from the store before
  // a change shows an older count than what is read after it.
  uint64_t changes() const { return changes_.load(); }

  // Metrics.
  struct Count {
    std::string reg, label;
    int64_t n;
  };
  std::vector<Count> countByState();
  std::vector<Count> countByExit();

  // Final jobs ended before now - keepDays, and old events; returns the jobs' ids. Each
  // job's key, fingerprint and outcome stay in the pruned table.
  std::vector<int64_t> prune(int keepDays);
  std::string integrityCheck();
  std::string quickCheck();  // "ok", or what PRAGMA quick_check found
  bool alive();
  // Empty while the store can be read and written, else what is wrong with it: a write
  // probe at most once a second, a quick check at most once a minute, both remembered.
  std::string fault();

  // Start-up: of the ids of job directories found, those the store never knew (neither a
  // job nor a pruned one); `pruned` gets those whose job was pruned.
  std::vector<int64_t> unknownJobs(const std::vector<int64_t>& ids, std::vector<int64_t>* pruned);
  // No new job gets an id at or below `id`.
  void raiseJobIdMark(int64_t id);

  // `fn(db)` on a read connection of its own: summary.cpp's sums of a day.
  template <class F>
  void read(F&& fn) {
    const ReadPool::Lease db(readers_);
    fn(static_cast<sqlite3*>(db));
  }

  // From now on each new job's trace is written before its commit, and each move is
  // added to it after its commit; the trace's folder counts in fault().
  void setTrace(JobTrace* trace) { trace_ = trace; }
  // A job the store does not know put back as `j` says (restore.cpp), with its id; one it
  // knows under the same key brought to `j`'s state.
  void takeBack(const Job& j);

 private:
  void open(const std::string& path);  // the constructor's work
  Job finishLocked(int64_t id, JobState from, JobState to);
  int64_t appendEventLocked(const std::string& type, const std::string& data);
  // The job as it now stands, with its event, committed, and the event streams woken.
  // Called under wm_, which the caller lets go only after its statements are finalized,
  // so that no other writer runs between its statements and the commit.
  Job commitWithJobEvent(Tx& tx, int64_t id);
  void published(int64_t event);

  sqlite3* w_ = nullptr;  // writes, under wm_
  ReadPool readers_;      // reads, each on a connection of its own
  std::mutex wm_;
  std::atomic<uint64_t> changes_{0};
  std::mutex em_;
  std::condition_variable ecv_;
  int64_t lastEvent_ = 0;
  WriteFault writeFault_;  // the last failed write of a job, until one commits
  sqlite3* c_ = nullptr;   // the health checks, under hm_
  std::mutex hm_;
  std::chrono::steady_clock::time_point probedAt_, checkedAt_;
  bool checked_ = false;
  std::string probeFault_, checkFault_;
  JobTrace* trace_ = nullptr;
};

}  // namespace cassardd

// The store: SQLite in WAL mode with synchronous FULL. Jobs, their keys, the registers'
// held state and last status, and the event log. The only code that writes SQL.
#pragma once

#include <sqlite3.h>

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

#include "service/read_pool.h"
#include "service/settle.h"

namespace cassardd {

// Now as RFC 3339 in UTC, with milliseconds: 2026-12-07T12:00:00.123Z.
std::string utcNow();

// JSON as text. A byte that is not UTF-8 (texts from the register are converted from
// Latin-1 on the way in, so none should reach here) becomes U+FFFD instead of failing
// the answer.
std::string jsonText(const nlohmann::json& j);

struct FileInfo {
  std::string name;
  int64_t size = 0;
};

struct Job {
  int64_t id = 0;
  std::string reg, key, kind;
  JobState state = JobState::Queued;
  std::string request;             // the body as posted, canonical JSON
  std::vector<std::string> lines;  // Latin-1, no line end
  std::optional<int> exitStatus, failedLine;
  std::optional<std::string> meaning, registerText, receiptNumber, reason;
  std::string console, dumpLog;  // UTF-8
  std::vector<FileInfo> files;
  std::optional<RegisterStatus> before, after;
  std::string createdAt;
  std::optional<std::string> startedAt, endedAt;
  // A receipt's money as the register counts it, in cents; empty for other kinds.
  std::optional<int64_t> total, change;
  // How the final state was decided: "run", "register" or "person"; empty until final.
  std::optional<std::string> settledBy;
  std::optional<std::string> expiresAt;  // a job still queued then is never sent
  // The reason as a code and its parameters, for a page to pick its own words.
  std::string reasonCode;
  nlohmann::json reasonParams = nlohmann::json::object();
  std::optional<std::string> note;  // a person's word given with a resolve
};

// What a new job carries beside its request.
struct JobExtras {
  std::optional<int64_t> total, change;
  std::optional<std::string> expiresAt;
};

// A job's reason and how it was decided, stored with its move.
struct Verdict {
  std::string reason;
  std::string reasonCode;
  nlohmann::json reasonParams = nlohmann::json::object();
  std::optional<std::string> receiptNumber;
  std::optional<std::string> settledBy;  // for a final state; "run" when left empty
  std::optional<std::string> note;
};

nlohmann::json jobSummaryJson(const Job& j);
nlohmann::json jobJson(const Job& j);

// What a run left behind, stored with the job's next state.
struct RunResult {
  std::optional<int> exitStatus, failedLine;
  std::optional<std::string> meaning, registerText;
  std::string console, dumpLog;
  std::vector<FileInfo> files;
  // The register as the run read it on its own line before its first line.
  std::optional<RegisterStatus> before;
};

// What is kept of a job after prune removed it: enough for a late retry of its key to be
// answered with what became of it, never with a second run.
struct PrunedJob {
  int64_t id = 0;
  std::string reg, key, kind;
  JobState state = JobState::Done;
  std::optional<std::string> receiptNumber;
  std::string fingerprint;  // requestFingerprint(kind, request) of the job's request
  std::string createdAt;
  std::optional<std::string> endedAt;
  std::string prunedAt;
};
nlohmann::json prunedJobJson(const PrunedJob& p);

// SHA-256 in hex of a job's kind and canonical request: what decides, once a job is
// pruned, whether a request under its key is the same one.
std::string requestFingerprint(const std::string& kind, const std::string& request);

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

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A job's move the state machine does not allow, or a job not in the state named.
struct MoveRefused : StoreError {
  using StoreError::StoreError;
};

class Tx;  // a write transaction (store.cpp)

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

 private:
  void exec(const char* sql);
  // Columns a store made by an earlier version lacks, added in place.
  void migrate();
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
  friend class Tx;
  struct WriteFault {
    std::mutex m;
    std::string text;  // the last failed write of a job, until one commits
  } writeFault_;
  sqlite3* c_ = nullptr;  // the health checks, under hm_
  std::mutex hm_;
  std::chrono::steady_clock::time_point probedAt_, checkedAt_;
  bool checked_ = false;
  std::string probeFault_, checkFault_;
};

// An online copy of the store at `from` into `to` (through `to`.tmp, synced, then renamed):
// SQLite's backup API on a read-only connection, beside a running service. Returns the
// number of jobs and of pruned keys copied; throws StoreError naming the fault, leaving
// no `to` behind.
struct BackupCount {
  int64_t jobs = 0, pruned = 0;
};
BackupCount backupStore(const std::string& from, const std::string& to);

}  // namespace cassardd

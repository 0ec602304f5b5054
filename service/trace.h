// A job's trace beside the store, the job id's high-water mark, and the lock on the
// state folder: what lets a store that lost its -wal, or a backup put in its place, get
// back every key and never give an id twice.
//
// state_dir/jobs/ID/trace.jsonl, one JSON object a line, UTF-8:
//   line 1, written in one write and synced before the job's commit:
//     {"trace":1,"id":7,"register":"cassa1","key":"till1-0042","kind":"receipt",
//      "fingerprint":"<sha-256 hex of kind and request>","createdAt":"...",
//      "expiresAt":"..."|null,"total":313|null,"change":187|null,
//      "request":"<the request as stored>","lines":["<sales line, Latin-1 as UTF-8>",...]}
//   then one line after each commit of a move, the first ("queued") being the mark that
//   the job was committed (a 201 only ever follows it):
//     {"at":"...","state":"done","exitStatus":0,"receiptNumber":"0124",
//      "reasonCode":"fiscalised","settledBy":"run"}
// state_dir/job-id-mark: the highest id whose directory was removed (pruned, or set
// aside), as decimal digits and a newline.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "service/db.h"
#include "service/job.h"

namespace cassardd {

inline constexpr const char* kTraceFile = "trace.jsonl";

class JobTrace {
 public:
  explicit JobTrace(std::string stateDir);
  // Before the job's commit: its directory and the trace's first line, on the disk.
  // Throws StoreError naming the file; nothing of it is left then.
  void accepted(const Job& j);
  // The trace of a job whose commit failed removed (the request got a 503).
  void withdrawn(int64_t id) noexcept;
  // After a commit: the job as it now stands, appended (the store has it on the disk).
  void moved(const Job& j) noexcept;
  // Empty while a file can be written in state_dir/jobs, else what is wrong: a probe at
  // most once a second, remembered.
  std::string fault();

 private:
  std::string stateDir_;
  std::mutex m_;
  std::chrono::steady_clock::time_point probedAt_;
  bool probed_ = false;
  std::string fault_;
};

// A trace as read back from a job's directory.
struct TraceRecord {
  Job job;  // id, register, key, kind, request, lines, createdAt, expiresAt, money
  std::string fingerprint;
  bool committed = false;              // a move line follows the first
  std::optional<nlohmann::json> last;  // the last move line
  std::optional<int> exitStatus;       // the last exit status a move line gave
};
// Empty when the directory has no trace; throws StoreError when it cannot be read or its
// first line is not a trace.
std::optional<TraceRecord> readTrace(const std::filesystem::path& jobDir);

// A job's directory made ready for a run: what an earlier run left is removed, the trace
// kept.
void clearRunFiles(const std::filesystem::path& jobDir);

// The ids of the job directories under state_dir/jobs, in order.
std::vector<int64_t> jobDirIds(const std::string& stateDir);
// The mark's id, 0 when there is none. Throws StoreError when it cannot be read.
int64_t readIdMark(const std::string& stateDir);
// The mark raised to `id` (never lowered), on the disk before it returns.
void raiseIdMark(const std::string& stateDir, int64_t id);
// Job directories removed (pruned jobs), the mark raised above them first.
void removeJobDirs(const std::string& stateDir, const std::vector<int64_t>& ids);

// The state folder for this process alone, for its life: empty, or why not (another
// cassardd holds it: its pid).
std::string lockStateDir(const std::string& stateDir);

}  // namespace cassardd

// A job: its states and the moves between them, its kinds, and what it carries from the
// request to its end (pure: no I/O). Every state and kind name the service writes (SQL,
// JSON, metrics, logs) comes from the tables here.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cassardd {

// A job's life, listed once. The store refuses any move that allowedMove() does not list.
enum class JobState { Queued, Running, Done, Failed, Uncertain, Attention };

// Every state, in the order of the table (and of the metrics).
const std::array<JobState, 6>& allStates();
std::string_view stateName(JobState s);
std::optional<JobState> stateFromName(std::string_view name);
bool allowedMove(JobState from, JobState to);
// Done and failed: decided, and how (settledBy). Attention waits for a person or a
// resume; uncertain for the register.
bool isFinal(JobState s);

// What a job asks of the register.
enum class JobKind { Receipt, Lines, Status, Download };

const std::array<JobKind, 4>& allKinds();
std::string_view kindName(JobKind k);
std::optional<JobKind> kindFromName(std::string_view name);

// What cassard --status prints.
struct RegisterStatus {
  std::string model, brand, serial, fiscalisedAt, receiptNumber;
  bool saleOpen = false;
};

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

  bool is(JobKind k) const { return kind == kindName(k); }
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

// SHA-256 in hex of a job's kind and canonical request: what decides, once a job is
// pruned, whether a request under its key is the same one.
std::string requestFingerprint(const std::string& kind, const std::string& request);

// The key's rule: a request under a key already used is that key's request again when its
// kind and canonical body are the same (for a pruned job, their fingerprint); any other is
// a conflict.
bool sameRequest(const Job& j, const std::string& kind, const std::string& request);
bool sameRequest(const PrunedJob& p, const std::string& kind, const std::string& request);

}  // namespace cassardd

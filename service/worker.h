// One worker per register: it takes the register's next job, runs cassard as a child
// process, reads its results after it ends, and settles the job from the register.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/child.h"
#include "service/config.h"
#include "service/settle.h"
#include "service/store.h"

namespace cassardd {

// What a worker tells of its register to whoever shows the registers (the hub): the
// worker owns this side, the hub implements it.
class WorkerEvents {
 public:
  virtual ~WorkerEvents() = default;
  // What the register shows may have changed: its state, its queue, its last reading.
  virtual void publish(const std::string& reg) = 0;
  // A job's run took `seconds`, from its start to its state after it.
  virtual void observe(const std::string& reg, const std::string& kind, double seconds) = 0;
};

class Worker {
 public:
  Worker(const Config& cfg, const RegisterConfig& reg, Store& store, WorkerEvents& hub);
  ~Worker();
  void start();
  // Finish the running job first; with `now`, leave it to be settled at the next start.
  void stop(bool now);
  // Stop waiting for the running job: it is settled at the next start.
  void abandon();
  void wake();

  enum class Resume { Released, NotHeld, SaleOpen, Unreachable };
  Resume resume(std::string& detail);

  struct Runtime {
    bool busy = false;
    bool unreachable = false;
    std::string lastError;
    std::string errorCode;  // device_missing, permission_denied, line_locked, no_answer, other
  };
  Runtime runtime();
  const RegisterConfig& reg() const { return reg_; }
  // How long past its due time the worker is: every step it takes has a bound (a child's
  // time limit, the idle wait, a store write), and a worker past it is stuck.
  std::chrono::seconds overdue() const;

 private:
  void loop();
  // The worker is due to move on within `within`, plus a margin for a loaded machine.
  void expect(std::chrono::steady_clock::duration within);
  ChildEnd run(const std::vector<std::string>& argv, const std::filesystem::path& dir,
               std::chrono::seconds limit, const std::filesystem::path& cwd = {});
  bool step();  // false when there was nothing to do
  void runJob(Job job);
  void runReceiptOrLines(Job job);
  void runSimple(Job job);
  void settleUncertain(Job job);
  // A run of `job` left by the previous start still going: waited for (and stopped past
  // its time limit), the register unreachable meanwhile. False when there is none.
  bool leftRunGoesOn(const Job& job, const std::filesystem::path& dir);
  // What a run whose end the service did not see left in the job's directory.
  std::optional<RunResult> leftBehind(const Job& job, const std::filesystem::path& dir);
  std::optional<RegisterStatus> readStatus();
  RunResult collect(const std::filesystem::path& dir, const ChildEnd& end);
  std::filesystem::path jobDir(int64_t id) const;
  // The job's directory, emptied, with its files folder and, `withSales`, its sales file.
  std::filesystem::path freshJobDir(const Job& job, bool withSales);
  // A run left going because the service stops: the job is uncertain, for `reason`, and
  // settled from the register at the next start. False when the run ended.
  bool stoppedMeanwhile(Job& job, const ChildEnd& end, const RunResult& run,
                        const std::string& reason);
  void setRuntime(bool busy, std::optional<std::string> unreachableError,
                  const std::string& errorCode = "other");
  // The register could not be read: why, for a technician, and as a code.
  void markUnreachable(const std::string& why, const std::string& code);
  void hold(const Held& h);
  void release(const std::string& how);  // the hold ends: logged as "register NAME <how>"
  // Queued jobs past their expiresAt fail, never sent; `job` alone when given.
  void expireQueued();
  bool expireIfDue(const Job& job);
  // How long until the soonest expiresAt of the register's queued jobs.
  std::optional<std::chrono::milliseconds> untilNextExpiry();
  // The job that holds the register, settled from the reading at resume where it decides.
  void settleHeldJob(const Held& h, const RegisterStatus& now);
  // A job whose run sent nothing goes back to the queue; a sale open on the register holds it.
  void requeue(Job& job, JobState from, const RunResult* run,
               const std::optional<RegisterStatus>& before);
  // Runs a store write until it succeeds; throws only when the service stops meanwhile.
  template <typename Write>
  void persist(Write&& write);
  // A job's move to its outcome, persisted.
  Job finish(int64_t id, JobState from, JobState to, const RunResult* run,
             const std::optional<RegisterStatus>& after, const Verdict& verdict);
  Job finish(int64_t id, JobState from, const Outcome& o, const RunResult* run,
             const std::optional<RegisterStatus>& after, const std::string& settledBy = "run");
  // The register as just read, stored to be shown (a failed write of it is only logged:
  // nothing relies on the stored copy; a receipt is settled from its own run's readings).
  void remember(const RegisterStatus& s);
  void logJob(const Job& j);
  void answerResumes();
  // A register that is unreachable or held is read every kWatchEvery, whether or not a job
  // waits (watch.cpp): it shows as it is once it answers, and a hold that only a person's
  // own sale caused ends at the first reading without it. True when that released a hold.
  bool watch();
  // How long until the next of those readings is due; empty when none is.
  std::optional<std::chrono::milliseconds> untilWatch();

  const Config& cfg_;
  const RegisterConfig& reg_;
  Store& store_;
  WorkerEvents& hub_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool wake_ = false;
  bool stopping_ = false;
  std::atomic<bool> abandon_{false};
  std::atomic<std::chrono::steady_clock::rep> due_{std::chrono::steady_clock::rep{0}};
  std::vector<std::promise<std::pair<Resume, std::string>>> resumes_;
  Runtime rt_;
  int failures_ = 0;  // reads in a row that failed, for the back-off
  std::chrono::steady_clock::time_point lastRead_{};  // the end of the last run of cassard
};

}  // namespace cassardd

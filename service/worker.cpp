#include "service/worker.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "service/folder.h"
#include "service/receipt.h"
#include "service/trace.h"
#include "service/when.h"

namespace cassardd {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::seconds kStatusLimit{60};
// Beyond the bound of each step (a child's limit, the idle wait), what a store write or
// the reading of a run's files may take on a loaded machine before the worker counts
// as stuck.
constexpr std::chrono::seconds kMoveMargin{60};

// A file of the job's directory as cassard names it from the job's files folder.
std::string up(const char* name) {
  return std::string("../") + name;
}

std::vector<std::string> withSettings(std::vector<std::string> argv, const RegisterConfig& reg) {
  argv.push_back(reg.device);
  if (!reg.settings.empty()) argv.push_back(reg.settings);
  return argv;
}

Verdict verdictOf(const Outcome& o, const std::string& settledBy) {
  Verdict v;
  v.reason = o.reason;
  v.reasonCode = o.reasonCode;
  v.reasonParams = o.reasonParams;
  v.receiptNumber = o.receiptNumber;
  v.settledBy = settledBy;
  return v;
}

constexpr const char* kSaleOpenReason = "a sale is open on the register";

}  // namespace

Worker::Worker(const Config& cfg, const RegisterConfig& reg, Store& store, WorkerEvents& hub)
    : cfg_(cfg), reg_(reg), store_(store), hub_(hub) {}

Worker::~Worker() {
  stop(true);
}

void Worker::start() {
  fs::create_directories(StateFolder{cfg_.stateDir}.reg(reg_.name));
  thread_ = std::thread([this] { loop(); });
}

void Worker::stop(bool now) {
  {
    std::lock_guard lock(m_);
    stopping_ = true;
    if (now) abandon_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Worker::expect(Clock::duration within) {
  due_ = (Clock::now() + within + kMoveMargin).time_since_epoch().count();
}

std::chrono::seconds Worker::overdue() const {
  const Clock::time_point due{Clock::duration{due_.load()}};
  const auto now = Clock::now();
  return due_.load() == 0 || now <= due
             ? std::chrono::seconds{0}
             : std::chrono::duration_cast<std::chrono::seconds>(now - due);
}

ChildEnd Worker::run(const std::vector<std::string>& argv, const fs::path& dir,
                     std::chrono::seconds limit, const fs::path& cwd) {
  // The child's own limit, then SIGTERM and 3 s until SIGKILL.
  expect(limit + std::chrono::seconds(3));
  ChildEnd end = runChild(argv, dir, limit, abandon_, cwd);
  lastRead_ = Clock::now();  // every run reads the register
  expect(Clock::duration::zero());
  return end;
}

void Worker::abandon() {
  abandon_ = true;
  cv_.notify_all();
}

void Worker::wake() {
  {
    std::lock_guard lock(m_);
    wake_ = true;
  }
  cv_.notify_all();
}

Worker::Runtime Worker::runtime() {
  std::lock_guard lock(m_);
  return rt_;
}

void Worker::setRuntime(bool busy, std::optional<std::string> unreachableError,
                        const std::string& errorCode) {
  {
    std::lock_guard lock(m_);
    rt_.busy = busy;
    if (unreachableError) {
      rt_.unreachable = true;
      rt_.lastError = *unreachableError;
      rt_.errorCode = errorCode;
    }
  }
  hub_.publish(reg_.name);
}

void Worker::markUnreachable(const std::string& why, const std::string& code) {
  ++failures_;
  {
    std::lock_guard lock(m_);
    rt_.unreachable = true;
    rt_.lastError = why;
    rt_.errorCode = code;
  }
  hub_.publish(reg_.name);
}

template <typename Write>
void Worker::persist(Write&& write) {
  // What the register did is on disk before the worker does anything else: a store that
  // cannot be written (a full disk) is tried again, and the register waits meanwhile.
  // A stop leaves the job running in the store, to be settled from the register.
  constexpr auto kRetry = std::chrono::seconds(2);
  for (int tries = 0;; ++tries) {
    try {
      write();
      if (tries > 0)
        std::cerr << "cassardd: register " << reg_.name << ": the store takes writes again"
                  << std::endl;
      return;
    } catch (const MoveRefused&) {
      throw;  // not the disk: trying again would not help
    } catch (const StoreError& e) {
      if (tries == 0)
        std::cerr << "cassardd: register " << reg_.name << ": the store cannot be written ("
                  << e.what() << "): the register waits, trying again every 2 s" << std::endl;
      std::unique_lock lock(m_);
      if (stopping_ || abandon_) throw;
      expect(kRetry);
      cv_.wait_for(lock, kRetry, [&] { return stopping_ || abandon_.load(); });
      if (stopping_ || abandon_) throw;
    }
  }
}

Job Worker::finish(int64_t id, JobState from, JobState to, const RunResult* run,
                   const std::optional<RegisterStatus>& after, const Verdict& verdict) {
  Job j;
  persist([&] { j = store_.finish(id, from, to, run, after, verdict); });
  return j;
}

Job Worker::finish(int64_t id, JobState from, const Outcome& o, const RunResult* run,
                   const std::optional<RegisterStatus>& after, const std::string& settledBy) {
  return finish(id, from, o.state, run, after, verdictOf(o, settledBy));
}

void Worker::remember(const RegisterStatus& s) {
  try {
    store_.setLastStatus(reg_.name, s);
  } catch (const StoreError& e) {
    std::cerr << "cassardd: register " << reg_.name << ": its status is not stored: " << e.what()
              << std::endl;
  }
}

Worker::Resume Worker::resume(std::string& detail) {
  std::future<std::pair<Resume, std::string>> answer;
  {
    std::lock_guard lock(m_);
    if (stopping_) {
      detail = "the service is stopping";
      return Resume::Unreachable;
    }
    resumes_.emplace_back();
    answer = resumes_.back().get_future();
    wake_ = true;
  }
  cv_.notify_all();
  if (answer.wait_for(std::chrono::seconds(150)) != std::future_status::ready) {
    detail = "the register's worker did not answer in time";
    return Resume::Unreachable;
  }
  auto [r, d] = answer.get();
  detail = d;
  return r;
}

void Worker::answerResumes() {
  std::vector<std::promise<std::pair<Resume, std::string>>> pending;
  {
    std::lock_guard lock(m_);
    pending.swap(resumes_);
  }
  for (auto& p : pending) {
    if (!store_.registerRow(reg_.name).held) {
      p.set_value({Resume::NotHeld, "the register is not held"});
      continue;
    }
    setRuntime(true, std::nullopt);
    const auto s = readStatus();
    setRuntime(false, std::nullopt);
    if (!s) {
      p.set_value({Resume::Unreachable, runtime().lastError});
    } else if (s->saleOpen) {
      p.set_value({Resume::SaleOpen,
                   "a sale is still open on the register: finish or cancel it there first"});
    } else {
      if (const auto held = store_.registerRow(reg_.name).held) settleHeldJob(*held, *s);
      release("resumed");
      p.set_value({Resume::Released, ""});
    }
  }
}

void Worker::settleHeldJob(const Held& h, const RegisterStatus& now) {
  // Only the job that holds the register: nothing but status reads ran on it since, so
  // a counter that moved was moved by a person finishing that sale.
  if (!h.jobId) return;
  const auto job = store_.get(*h.jobId);
  if (!job || job->state != JobState::Attention || !job->is(JobKind::Receipt) || !job->before)
    return;
  const auto o =
      settleAtResume(*job->before, now, deliveryOf(job->lines, job->exitStatus, job->failedLine));
  if (!o) return;
  try {
    logJob(finish(job->id, JobState::Attention, *o, nullptr, now, "register"));
  } catch (const MoveRefused&) {
    // A person resolved it meanwhile: their word stands.
  }
}

void Worker::requeue(Job& job, JobState from, const RunResult* run,
                     const std::optional<RegisterStatus>& before) {
  persist([&] { job = store_.requeue(job.id, from, run); });
  std::cerr << "cassardd: job " << job.id << " register=" << reg_.name
            << " back in the queue: nothing was sent" << std::endl;
  if (before && before->saleOpen)
    hold({kSaleOpenReason, std::nullopt, "sale_open", nlohmann::json::object()});
}

void Worker::expireQueued() {
  const auto ids = store_.expiredQueued(reg_.name, utcNow());
  for (const int64_t id : ids) {
    Verdict v;
    v.reason = "expired: never sent to the register";
    v.reasonCode = "expired";
    v.settledBy = "run";
    try {
      logJob(finish(id, JobState::Queued, JobState::Failed, nullptr, std::nullopt, v));
    } catch (const MoveRefused&) {
      // Cancelled meanwhile.
    }
  }
  if (!ids.empty()) hub_.publish(reg_.name);  // its queue is shorter
}

bool Worker::expireIfDue(const Job& job) {
  if (!job.expiresAt || *job.expiresAt > utcNow()) return false;
  expireQueued();
  return true;
}

std::optional<std::chrono::milliseconds> Worker::untilNextExpiry() {
  const auto next = store_.nextExpiry(reg_.name);
  if (!next) return std::nullopt;
  const auto at = parseRfc3339(*next);
  if (!at) return std::nullopt;
  return std::chrono::milliseconds(std::max<int64_t>(0, *at - nowMs()));
}

void Worker::release(const std::string& how) {
  persist([&] { store_.setHeld(reg_.name, std::nullopt); });
  std::cerr << "cassardd: register " << reg_.name << " " << how << std::endl;
  hub_.publish(reg_.name);
}

void Worker::hold(const Held& h) {
  persist([&] { store_.setHeld(reg_.name, h); });
  std::cerr << "cassardd: register " << reg_.name << " held: " << h.reason << std::endl;
  hub_.publish(reg_.name);
}

fs::path Worker::freshJobDir(const Job& job, bool withSales) {
  const fs::path dir = jobDir(job.id);
  clearRunFiles(dir);  // the trace stays
  fs::create_directories(dir / kFilesDir);
  if (withSales) {
    std::ofstream sales(dir / kSalesFile, std::ios::binary);
    for (const std::string& l : job.lines) sales << l << '\n';
    if (!sales.flush()) throw StoreError("cannot write " + (dir / kSalesFile).string());
  }
  return dir;
}

bool Worker::stoppedMeanwhile(Job& job, const ChildEnd& end, const RunResult& run,
                              const std::string& reason) {
  if (end.exitStatus || !end.spawnError.empty()) return false;
  Verdict v;
  v.reason = reason;
  v.reasonCode = "service_stopped";
  job = finish(job.id, JobState::Running, JobState::Uncertain, &run, std::nullopt, v);
  logJob(job);
  setRuntime(false, std::nullopt);
  return true;
}

fs::path Worker::jobDir(int64_t id) const {
  return StateFolder{cfg_.stateDir}.job(id);
}

std::optional<RegisterStatus> Worker::readStatus() {
  const fs::path dir = StateFolder{cfg_.stateDir}.reg(reg_.name);
  const auto limit = std::min(kStatusLimit, std::chrono::seconds(cfg_.jobTimeoutS));
  ChildEnd end = run(withSettings({cfg_.cassard, "--status"}, reg_), dir, limit);
  // Keys a person pressed while the reading held the line end it 21 (the register answers
  // a command after them with keys pressed): the register answered, and answers again.
  if (end.exitStatus == 21) end = run(withSettings({cfg_.cassard, "--status"}, reg_), dir, limit);
  std::optional<RegisterStatus> s;
  if (end.exitStatus == 0) s = parseStatus(readFile(dir / kConsoleFile));
  if (s) {
    failures_ = 0;
    remember(*s);
    {
      std::lock_guard lock(m_);
      rt_.unreachable = false;
      rt_.lastError.clear();
      rt_.errorCode.clear();
    }
    hub_.publish(reg_.name);
    return s;
  }
  markUnreachable(whyUnread(dir, end, limit), unreadCode(readFile(dir / kStderrFile), end));
  return std::nullopt;
}

RunResult Worker::collect(const fs::path& dir, const ChildEnd& end) {
  return collectRun(dir, end, cfg_.jobTimeoutS);
}
void Worker::logJob(const Job& j) {
  std::ostringstream line;
  line << "cassardd: job " << j.id << " register=" << j.reg << " key=" << j.key
       << " kind=" << j.kind << " state=" << stateName(j.state) << " exit=";
  if (j.exitStatus)
    line << *j.exitStatus;
  else
    line << "-";
  if (j.startedAt) {
    // Both stamps are UTC with milliseconds; the difference is the run's duration.
    const int64_t ms = parseRfc3339(j.endedAt.value_or(utcNow())).value_or(0) -
                       parseRfc3339(*j.startedAt).value_or(0);
    char d[32];
    std::snprintf(d, sizeof d, "%.3f", static_cast<double>(ms) / 1000.0);
    line << " duration=" << d << "s";
    hub_.observe(j.reg, j.kind, std::atof(d));
  }
  if (j.receiptNumber) line << " receipt=" << *j.receiptNumber;
  std::cerr << line.str() << std::endl;
}

void Worker::loop() {
  // The register as the service finds it: shown at once, and the reading that a job left
  // uncertain by a power cut before its run's own reading is held against.
  if (!store_.next(reg_.name, JobState::Uncertain)) {
    try {
      setRuntime(true, std::nullopt);
      readStatus();
      setRuntime(false, std::nullopt);
    } catch (const std::exception& e) {
      std::cerr << "cassardd: register " << reg_.name << ": " << e.what() << std::endl;
    }
  }
  for (;;) {
    {
      std::lock_guard lock(m_);
      if (stopping_) break;
    }
    expect(Clock::duration::zero());
    answerResumes();
    bool did = false;
    try {
      did = step();
    } catch (const std::exception& e) {
      std::cerr << "cassardd: register " << reg_.name << ": " << e.what() << std::endl;
      ++failures_;
    }
    std::unique_lock lock(m_);
    if (stopping_) break;
    if (!did) {
      // After a failed read, try again soon, then less often; a new job or a resume
      // tries at once.
      auto wait = failures_ == 0
                      ? std::chrono::milliseconds(30000)
                      : std::chrono::milliseconds(std::min(5000, 250 << std::min(failures_, 5)));
      // A queued job expires on time, whatever the register is doing.
      lock.unlock();
      if (const auto expiry = untilNextExpiry())
        wait = std::min(wait, *expiry + std::chrono::milliseconds(1));
      // The register's own reading when due (not sooner than a moment: a step that could
      // not read, waiting for a run left by the previous start, must not spin).
      if (const auto read = untilWatch())
        wait = std::min(wait, std::max(*read, std::chrono::milliseconds(250)));
      lock.lock();
      expect(wait);
      cv_.wait_for(lock, wait, [&] { return wake_ || stopping_ || !resumes_.empty(); });
    }
    wake_ = false;
  }
  due_ = 0;  // stopped: nothing more is due
  std::vector<std::promise<std::pair<Resume, std::string>>> pending;
  {
    std::lock_guard lock(m_);
    pending.swap(resumes_);
  }
  for (auto& p : pending) p.set_value({Resume::Unreachable, "the service is stopping"});
}

bool Worker::step() {
  expireQueued();
  if (auto u = store_.next(reg_.name, JobState::Uncertain)) {
    settleUncertain(*u);
    return !store_.next(reg_.name, JobState::Uncertain) || failures_ == 0;
  }
  const bool held = store_.registerRow(reg_.name).held.has_value();
  // A held register runs only status reads, which change nothing on it.
  auto job =
      store_.next(reg_.name, JobState::Queued,
                  held ? std::optional<std::string>(kindName(JobKind::Status)) : std::nullopt);
  if (!job) return watch();
  const int before = failures_;
  if (job->is(JobKind::Receipt) || job->is(JobKind::Lines))
    runReceiptOrLines(*job);
  else
    runSimple(*job);
  return failures_ <= before;
}

void Worker::runReceiptOrLines(Job job) {
  setRuntime(true, std::nullopt);
  // After a read that failed, the register is read first: a job is not started while
  // the line is down.
  if (failures_ > 0 && !readStatus()) {
    setRuntime(false, std::nullopt);
    return;  // the job stays queued; the register is unreachable
  }
  if (expireIfDue(job)) {
    setRuntime(false, std::nullopt);
    return;
  }
  const fs::path dir = freshJobDir(job, true);
  try {
    job = store_.start(job.id, std::nullopt);
  } catch (const MoveRefused&) {
    setRuntime(false, std::nullopt);
    return;  // cancelled meanwhile
  }
  hub_.publish(reg_.name);
  // The run reads the register on the line it holds just before its first line and
  // again once its last line went through: nothing a person does at the register can
  // come between a reading and the receipt. It works in the job's files folder, so the
  // files it reads and writes for the service are named from there.
  const ChildEnd end = run(withSettings({cfg_.cassard, "--status-before", up(kStatusBeforeFile),
                                         "--status-after", up(kStatusFile), up(kSalesFile)},
                                        reg_),
                           dir, std::chrono::seconds(cfg_.jobTimeoutS), dir / kFilesDir);
  RunResult run = collect(dir, end);
  if (stoppedMeanwhile(job, end, run,
                       "the service stopped while this job ran; it is settled from the register "
                       "at the next start"))
    return;
  if (!end.spawnError.empty()) {
    Verdict v;
    v.reason = "cassard could not be started; nothing was sent to the register";
    v.reasonCode = "cassard_not_started";
    job = finish(job.id, JobState::Running, JobState::Failed, &run, std::nullopt, v);
    logJob(job);
    setRuntime(false, std::nullopt);
    return;
  }
  const std::optional<RegisterStatus>& before = run.before;
  if (!before || before->saleOpen) {
    // The run ended before its first line: at its first reading, or with a sale a person
    // opened on the register, which this receipt must not join.
    requeue(job, JobState::Running, &run, before);
    if (before) {
      remember(*before);
    } else {
      markUnreachable(whyUnread(dir, end, std::chrono::seconds(cfg_.jobTimeoutS)),
                      unreadCode(readFile(dir / kStderrFile), end));
    }
    setRuntime(false, std::nullopt);
    return;
  }
  std::optional<RegisterStatus> after;
  if (end.exitStatus == 0) after = parseStatus(readFile(dir / kStatusFile));
  if (after) {
    remember(*after);
  } else {
    after = readStatus();
  }
  const Outcome o = job.is(JobKind::Receipt)
                        ? settleReceipt(*before, run.exitStatus, after,
                                        deliveryOf(job.lines, run.exitStatus, run.failedLine))
                        : settleLines(run.exitStatus, after, run.failedLine, before);
  job = finish(job.id, JobState::Running, o, &run, after);
  logJob(job);
  if (o.hold) hold({o.reason, job.id, o.reasonCode, o.reasonParams});
  setRuntime(false, std::nullopt);
}

void Worker::runSimple(Job job) {
  setRuntime(true, std::nullopt);
  const bool status = job.is(JobKind::Status);
  const fs::path dir = freshJobDir(job, !status);
  const std::vector<std::string> argv = status ? withSettings({cfg_.cassard, "--status"}, reg_)
                                               : withSettings({cfg_.cassard, up(kSalesFile)}, reg_);
  job = store_.start(job.id, std::nullopt);
  hub_.publish(reg_.name);
  const ChildEnd end = run(argv, dir, std::chrono::seconds(cfg_.jobTimeoutS), dir / kFilesDir);
  RunResult run = collect(dir, end);
  if (stoppedMeanwhile(job, end, run, "the service stopped while this job ran")) return;
  std::optional<RegisterStatus> after;
  if (job.is(JobKind::Status) && end.exitStatus == 0)
    after = parseStatus(readFile(dir / kConsoleFile));
  const bool ok = end.exitStatus == 0 && (!job.is(JobKind::Status) || after);
  if (after) {
    remember(*after);
    failures_ = 0;
    std::lock_guard lock(m_);
    rt_.unreachable = false;
    rt_.lastError.clear();
    rt_.errorCode.clear();
  }
  Verdict v;
  if (ok) {
    v.reason = "completed";
    v.reasonCode = "completed";
  } else if (!end.spawnError.empty()) {
    v.reason = "cassard could not be started; nothing was sent to the register";
    v.reasonCode = "cassard_not_started";
  } else {
    v.reason = "cassard did not complete; see the meaning, the console and the dump log";
    v.reasonCode = "run_failed";
    v.reasonParams = {
        {"exitStatus", end.exitStatus ? nlohmann::json(*end.exitStatus) : nlohmann::json(nullptr)}};
  }
  job = finish(job.id, JobState::Running, ok ? JobState::Done : JobState::Failed, &run, after, v);
  logJob(job);
  // A status job that could not read the register says as much as the service's own read.
  std::optional<std::string> unread;
  if (job.is(JobKind::Status) && !after) {
    unread = whyUnread(dir, end, std::chrono::seconds(cfg_.jobTimeoutS));
    ++failures_;
  }
  setRuntime(false, unread, unreadCode(readFile(dir / kStderrFile), end));
}

bool Worker::leftRunGoesOn(const Job& job, const fs::path& dir) {
  // A run left by the previous start may still be on the register: it goes on until it
  // ends, or until its time limit has passed.
  auto pids = processesIn(dir / kFilesDir);
  if (pids.empty()) pids = processesIn(dir);  // a run of a job from before the files folder
  if (!pids.empty()) {
    const int64_t startedS = parseRfc3339(job.startedAt.value_or(utcNow())).value_or(0) / 1000;
    if (nowMs() / 1000 > startedS + cfg_.jobTimeoutS + 10)
      for (int pid : pids)
        if (const pid_t group = getpgid(pid); group > 1) kill(-group, SIGTERM);
    ++failures_;
    setRuntime(false, "waiting for the cassard run of job " + std::to_string(job.id) + " (pid " +
                          std::to_string(pids.front()) + ") left by the previous start to end");
    return true;
  }
  return false;
}

std::optional<RunResult> Worker::leftBehind(const Job& job, const fs::path& dir) {
  // What that run left in its directory, when the service did not see it end.
  if (!job.exitStatus && job.console.empty() && fs::exists(dir / kConsoleFile)) {
    ChildEnd end;
    end.exitStatus = exitStatusLeft(dir);
    return collect(dir, end);
  }
  return std::nullopt;
}

void Worker::settleUncertain(Job job) {
  setRuntime(true, std::nullopt);
  const fs::path dir = jobDir(job.id);
  if (leftRunGoesOn(job, dir)) return;
  const std::optional<RunResult> left = leftBehind(job, dir);
  const RunResult* run = left ? &*left : nullptr;
  const std::optional<int> exitStatus = run ? run->exitStatus : job.exitStatus;
  const std::optional<int> failedLine = run ? run->failedLine : job.failedLine;
  const Delivery delivery = deliveryOf(job.lines, exitStatus, failedLine);
  if (job.is(JobKind::Download) || job.is(JobKind::Status)) {
    const bool done = exitStatus == 0;
    Verdict v;
    v.reason = done ? "completed (seen after a restart)"
                    : "the service stopped while this job ran; submit it again if it is still "
                      "wanted";
    v.reasonCode = done ? "completed" : "run_failed";
    if (!done)
      v.reasonParams = {
          {"exitStatus", exitStatus ? nlohmann::json(*exitStatus) : nlohmann::json(nullptr)}};
    job = finish(job.id, JobState::Uncertain, done ? JobState::Done : JobState::Failed, run,
                 std::nullopt, v);
    logJob(job);
    setRuntime(false, std::nullopt);
    return;
  }
  // The run's own reading before its first line, stored with the job or left in its
  // directory by a run whose end the service did not see.
  std::optional<RegisterStatus> before = job.before;
  if (!before) before = parseStatus(readFile(dir / kStatusBeforeFile));
  // A run whose end is known and that left no reading before, or found a sale open at
  // it, sent nothing. Without a known end a missing reading proves nothing (a file not
  // yet on the disk when the power went).
  if ((before && before->saleOpen) || (!before && exitStatus && fs::exists(dir / kSalesFile))) {
    requeue(job, JobState::Uncertain, run, before);
    setRuntime(false, std::nullopt);
    return;
  }
  // The register as last read before this job started: no reading of the run's own, but
  // a counter still at it, with no sale open, proves that no receipt closed since.
  const RegisterRow row = store_.registerRow(reg_.name);
  const auto after = readStatus();
  if (!after) {
    // Uncertain for at most the register's settle limit, counted from when the job
    // became uncertain: then a person looks at the register.
    const auto since = parseRfc3339(job.endedAt.value_or(job.startedAt.value_or("")));
    if (since && nowMs() - *since >= int64_t{reg_.settleLimitS} * 1000) {
      const Outcome o{JobState::Attention,
                      "the register could not be read for " + std::to_string(reg_.settleLimitS) +
                          " s after the run: check its journal, then resume the register or "
                          "resolve the job",
                      {},
                      true,
                      "settle_limit",
                      {{"seconds", reg_.settleLimitS}}};
      job = finish(job.id, JobState::Uncertain, o, run, std::nullopt);
      logJob(job);
      hold({o.reason, job.id, o.reasonCode, o.reasonParams});
    }
    setRuntime(false, std::nullopt);
    return;
  }
  Outcome o;
  if (!before) {
    o = {JobState::Attention,
         "the register was not read before this job ran; check its journal",
         {},
         after->saleOpen,
         "not_read_before"};
    if (job.is(JobKind::Receipt) && row.lastStatus && row.lastStatusAt && job.startedAt &&
        *row.lastStatusAt <= *job.startedAt)
      if (const Outcome earlier = settleReceipt(*row.lastStatus, exitStatus, after, delivery);
          earlier.state == JobState::Failed)
        o = earlier;
  } else if (job.is(JobKind::Receipt))
    o = settleReceipt(*before, exitStatus, after, delivery);
  else
    o = settleLines(exitStatus, after, failedLine, before);
  job = finish(job.id, JobState::Uncertain, o, run, after);
  logJob(job);
  if (o.hold) hold({o.reason, job.id, o.reasonCode, o.reasonParams});
  setRuntime(false, std::nullopt);
}

}  // namespace cassardd

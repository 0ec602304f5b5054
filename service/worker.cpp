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

#include "service/receipt.h"
#include "service/registers.h"

namespace cassardd {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::seconds kStatusLimit{60};
// A status read this recent stands for the register before the next receipt, as long as
// nothing ran on the register since.
constexpr std::chrono::seconds kStatusFresh{30};
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

}  // namespace

Worker::Worker(const Config& cfg, const RegisterConfig& reg, Store& store, Registers& hub)
    : cfg_(cfg), reg_(reg), store_(store), hub_(hub) {}

Worker::~Worker() {
  stop(true);
}

void Worker::start() {
  fs::create_directories(fs::path(cfg_.stateDir) / "registers" / reg_.name);
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

void Worker::setRuntime(bool busy, std::optional<std::string> unreachableError) {
  {
    std::lock_guard lock(m_);
    rt_.busy = busy;
    if (unreachableError) {
      rt_.unreachable = true;
      rt_.lastError = *unreachableError;
    }
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
                   const std::optional<RegisterStatus>& after, const std::string& reason,
                   const std::optional<std::string>& receiptNumber) {
  Job j;
  persist([&] { j = store_.finish(id, from, to, run, after, reason, receiptNumber); });
  return j;
}

void Worker::remember(const RegisterStatus& s) {
  known_ = s;
  knownAt_ = Clock::now();
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
      persist([&] { store_.setHeld(reg_.name, std::nullopt); });
      std::cerr << "cassardd: register " << reg_.name << " resumed" << std::endl;
      hub_.publish(reg_.name);
      p.set_value({Resume::Released, ""});
    }
  }
}

void Worker::hold(const Held& h) {
  persist([&] { store_.setHeld(reg_.name, h); });
  std::cerr << "cassardd: register " << reg_.name << " held: " << h.reason << std::endl;
  hub_.publish(reg_.name);
}

fs::path Worker::jobDir(int64_t id) const {
  return fs::path(cfg_.stateDir) / "jobs" / std::to_string(id);
}

std::optional<RegisterStatus> Worker::readStatus() {
  const fs::path dir = fs::path(cfg_.stateDir) / "registers" / reg_.name;
  const auto limit = std::min(kStatusLimit, std::chrono::seconds(cfg_.jobTimeoutS));
  const ChildEnd end = run(withSettings({cfg_.cassard, "--status"}, reg_), dir, limit);
  std::optional<RegisterStatus> s;
  if (end.exitStatus == 0) s = parseStatus(readFile(dir / kConsoleFile));
  if (s) {
    failures_ = 0;
    remember(*s);
    {
      std::lock_guard lock(m_);
      rt_.unreachable = false;
      rt_.lastError.clear();
    }
    hub_.publish(reg_.name);
    return s;
  }
  known_.reset();
  ++failures_;
  const std::string why = whyUnread(dir, end, limit);
  {
    std::lock_guard lock(m_);
    rt_.unreachable = true;
    rt_.lastError = why;
  }
  hub_.publish(reg_.name);
  return std::nullopt;
}

std::optional<RegisterStatus> Worker::freshStatus() {
  if (known_ && Clock::now() - knownAt_ < kStatusFresh) return known_;
  return readStatus();
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
    auto secs = [](const std::string& t) {
      std::tm tm{};
      strptime(t.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
      return static_cast<double>(timegm(&tm)) + std::atoi(t.c_str() + 20) / 1000.0;
    };
    char d[32];
    std::snprintf(d, sizeof d, "%.3f", secs(j.endedAt.value_or(utcNow())) - secs(*j.startedAt));
    line << " duration=" << d << "s";
    hub_.observe(j.reg, j.kind, std::atof(d));
  }
  if (j.receiptNumber) line << " receipt=" << *j.receiptNumber;
  std::cerr << line.str() << std::endl;
}

void Worker::loop() {
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
      const auto wait =
          failures_ == 0 ? std::chrono::milliseconds(30000)
                         : std::chrono::milliseconds(std::min(5000, 250 << std::min(failures_, 5)));
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
  if (auto u = store_.next(reg_.name, JobState::Uncertain)) {
    settleUncertain(*u);
    return !store_.next(reg_.name, JobState::Uncertain) || failures_ == 0;
  }
  const bool held = store_.registerRow(reg_.name).held.has_value();
  // A held register runs only status reads, which change nothing on it.
  auto job = store_.next(reg_.name, JobState::Queued,
                         held ? std::optional<std::string>("status") : std::nullopt);
  if (!job) return false;
  const int before = failures_;
  if (job->kind == "receipt" || job->kind == "lines")
    runReceiptOrLines(*job);
  else
    runSimple(*job);
  return failures_ <= before;
}

void Worker::runReceiptOrLines(Job job) {
  setRuntime(true, std::nullopt);
  const auto before = freshStatus();
  if (!before) {
    setRuntime(false, std::nullopt);
    return;  // the job stays queued; the register is unreachable
  }
  if (before->saleOpen) {
    hold(
        {"a sale is open on the register, not opened by this service: finish or cancel it on the "
         "register, then resume",
         std::nullopt, "sale_open", nlohmann::json::object()});
    setRuntime(false, std::nullopt);
    return;
  }
  const fs::path dir = jobDir(job.id);
  fs::remove_all(dir);
  fs::create_directories(dir / kFilesDir);
  {
    std::ofstream sales(dir / kSalesFile, std::ios::binary);
    for (const std::string& l : job.lines) sales << l << '\n';
    if (!sales.flush()) throw StoreError("cannot write " + (dir / kSalesFile).string());
  }
  job = store_.start(job.id, before);
  hub_.publish(reg_.name);
  known_.reset();
  // The run itself reads the counter once its last line went through, on the line it
  // still holds; only a run that did not get there needs a read of its own.
  const ChildEnd end =
      run(withSettings({cfg_.cassard, "--status-after", up(kStatusFile), up(kSalesFile)}, reg_),
          dir, std::chrono::seconds(cfg_.jobTimeoutS), dir / kFilesDir);
  RunResult run = collect(dir, end);
  if (!end.exitStatus && end.spawnError.empty()) {
    job = finish(
        job.id, JobState::Running, JobState::Uncertain, &run, std::nullopt,
        "the service stopped while this job ran; it is settled from the register at the next start",
        std::nullopt);
    logJob(job);
    setRuntime(false, std::nullopt);
    return;
  }
  if (!end.spawnError.empty()) {
    job = finish(job.id, JobState::Running, JobState::Failed, &run, std::nullopt,
                 "cassard could not be started; nothing was sent to the register", std::nullopt);
    logJob(job);
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
  const Outcome o = job.kind == "receipt" ? settleReceipt(*before, run.exitStatus, after)
                                          : settleLines(run.exitStatus, after);
  job = finish(job.id, JobState::Running, o.state, &run, after, o.reason, o.receiptNumber);
  logJob(job);
  if (o.hold) hold({o.reason, job.id, "", nlohmann::json::object()});
  setRuntime(false, std::nullopt);
}

void Worker::runSimple(Job job) {
  setRuntime(true, std::nullopt);
  const fs::path dir = jobDir(job.id);
  fs::remove_all(dir);
  fs::create_directories(dir / kFilesDir);
  std::vector<std::string> argv;
  if (job.kind == "status") {
    argv = withSettings({cfg_.cassard, "--status"}, reg_);
  } else {
    std::ofstream sales(dir / kSalesFile, std::ios::binary);
    for (const std::string& l : job.lines) sales << l << '\n';
    if (!sales.flush()) throw StoreError("cannot write " + (dir / kSalesFile).string());
    argv = withSettings({cfg_.cassard, up(kSalesFile)}, reg_);
  }
  job = store_.start(job.id, std::nullopt);
  hub_.publish(reg_.name);
  const ChildEnd end = run(argv, dir, std::chrono::seconds(cfg_.jobTimeoutS), dir / kFilesDir);
  RunResult run = collect(dir, end);
  if (!end.exitStatus && end.spawnError.empty()) {
    job = finish(job.id, JobState::Running, JobState::Uncertain, &run, std::nullopt,
                 "the service stopped while this job ran", std::nullopt);
    logJob(job);
    setRuntime(false, std::nullopt);
    return;
  }
  std::optional<RegisterStatus> after;
  if (job.kind == "status" && end.exitStatus == 0)
    after = parseStatus(readFile(dir / kConsoleFile));
  const bool ok = end.exitStatus == 0 && (job.kind != "status" || after);
  if (after) {
    remember(*after);
    std::lock_guard lock(m_);
    rt_.unreachable = false;
    rt_.lastError.clear();
  } else if (job.kind == "download") {
    known_.reset();
  }
  job = finish(
      job.id, JobState::Running, ok ? JobState::Done : JobState::Failed, &run, after,
      ok ? "completed" : "cassard did not complete; see the meaning, the console and the dump log",
      std::nullopt);
  logJob(job);
  // A status job that could not read the register says as much as the service's own read.
  std::optional<std::string> unread;
  if (job.kind == "status" && !after) {
    known_.reset();
    unread = whyUnread(dir, end, std::chrono::seconds(cfg_.jobTimeoutS));
  }
  setRuntime(false, unread);
}

void Worker::settleUncertain(Job job) {
  setRuntime(true, std::nullopt);
  const fs::path dir = jobDir(job.id);
  // A run left by the previous start may still be on the register: it goes on until it
  // ends, or until its time limit has passed.
  auto pids = processesIn(dir / kFilesDir);
  if (pids.empty()) pids = processesIn(dir);  // a run of a job from before the files folder
  if (!pids.empty()) {
    std::tm tm{};
    strptime(job.startedAt.value_or(utcNow()).c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (std::time(nullptr) > timegm(&tm) + cfg_.jobTimeoutS + 10)
      for (int pid : pids)
        if (const pid_t group = getpgid(pid); group > 1) kill(-group, SIGTERM);
    ++failures_;
    setRuntime(false, "waiting for the cassard run of job " + std::to_string(job.id) + " (pid " +
                          std::to_string(pids.front()) + ") left by the previous start to end");
    return;
  }
  // What that run left in its directory, when the service did not see it end.
  const RunResult* run = nullptr;
  RunResult left;
  if (!job.exitStatus && job.console.empty() && fs::exists(dir / kConsoleFile)) {
    ChildEnd end;
    if (const auto f = parseFailureLine(readFile(dir / kStderrFile))) {
      static const std::regex exitRe(R"(\(exit (\d+)\)\s*$)");
      std::smatch m;
      const std::string err = readFile(dir / kStderrFile);
      if (std::regex_search(err, m, exitRe)) end.exitStatus = std::stoi(m[1].str());
    } else if (readFile(dir / kConsoleFile).find(kFinalText) != std::string::npos) {
      end.exitStatus = 0;
    }
    left = collect(dir, end);
    run = &left;
  }
  const std::optional<int> exitStatus = run ? run->exitStatus : job.exitStatus;
  if (job.kind == "download" || job.kind == "status") {
    const bool done = exitStatus == 0;
    job = finish(
        job.id, JobState::Uncertain, done ? JobState::Done : JobState::Failed, run, std::nullopt,
        done ? "completed (seen after a restart)"
             : "the service stopped while this job ran; submit it again if it is still wanted",
        std::nullopt);
    logJob(job);
    setRuntime(false, std::nullopt);
    return;
  }
  const auto after = readStatus();
  if (!after) {
    setRuntime(false, std::nullopt);
    return;
  }
  Outcome o;
  if (!job.before)
    o = {JobState::Attention,
         "the register was not read before this job ran; check its journal",
         {},
         after->saleOpen};
  else if (job.kind == "receipt")
    o = settleReceipt(*job.before, exitStatus, after);
  else
    o = settleLines(exitStatus, after);
  job = finish(job.id, JobState::Uncertain, o.state, run, after, o.reason, o.receiptNumber);
  logJob(job);
  if (o.hold) hold({o.reason, job.id, "", nlohmann::json::object()});
  setRuntime(false, std::nullopt);
}

}  // namespace cassardd

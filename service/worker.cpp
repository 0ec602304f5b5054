#include "service/worker.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "service/receipt.h"

extern char** environ;

namespace cassardd {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSalesFile = "sales.ECR";
constexpr const char* kConsoleFile = "console.txt";
constexpr const char* kStderrFile = "stderr.txt";
constexpr const char* kStatusFile = "status.json";  // the register as the run left it
constexpr std::size_t kMaxText = 1 << 20;           // of a console or dump log kept with a job
constexpr std::chrono::seconds kStatusLimit{60};
// A status read this recent stands for the register before the next receipt, as long as
// nothing ran on the register since.
constexpr std::chrono::seconds kStatusFresh{30};
constexpr const char* kFinalText = "Il programma e stato terminato correttamente.";
// Beyond the bound of each step (a child's limit, the idle wait), what a store write or
// the reading of a run's files may take on a loaded machine before the worker counts
// as stuck.
constexpr std::chrono::seconds kMoveMargin{60};

std::string readFile(const fs::path& p, std::size_t max = kMaxText) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return {};
  std::string s(max, '\0');
  in.read(s.data(), static_cast<std::streamsize>(max));
  s.resize(static_cast<std::size_t>(in.gcount()));
  return s;
}

bool isRunFile(const std::string& name) {
  return name == kSalesFile || name == kConsoleFile || name == kStderrFile || name == kStatusFile ||
         (name.rfind("dump", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".log");
}

// The pidfd becomes readable the moment the child ends.
void waitExit(int pidfd, int ms) {
  pollfd p{pidfd, POLLIN, 0};
  poll(&p, 1, ms);
}

std::vector<std::string> withSettings(std::vector<std::string> argv, const RegisterConfig& reg) {
  argv.push_back(reg.device);
  if (!reg.settings.empty()) argv.push_back(reg.settings);
  return argv;
}

}  // namespace

ChildEnd runChild(const std::vector<std::string>& argv, const fs::path& dir,
                  std::chrono::seconds limit, const std::atomic<bool>& abandon) {
  ChildEnd end;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, (dir / kConsoleFile).c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0640);
  posix_spawn_file_actions_addopen(&fa, 2, (dir / kStderrFile).c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0640);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t at;
  posix_spawnattr_init(&at);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&at, &none);
  posix_spawnattr_setsigdefault(&at, &all);
  posix_spawnattr_setpgroup(&at, 0);
  posix_spawnattr_setflags(&at,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &fa, &at, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&at);
  if (rc != 0) {
    end.spawnError = argv[0] + ": " + std::strerror(rc);
    return end;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (abandon.load()) {
      if (pidfd >= 0) close(pidfd);
      return end;  // left running; the next start settles its job
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      end.timedOut = true;
      kill(-pid, SIGTERM);
      waitExit(pidfd, 3000);
      if (waitpid(pid, &status, WNOHANG) != pid) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
      }
      break;
    }
    // The pidfd becomes readable the moment the child ends: no polling delay.
    if (pidfd >= 0)
      waitExit(pidfd, static_cast<int>(std::min<long long>(left.count(), 200)));
    else
      usleep(2000);
  }
  if (pidfd >= 0) close(pidfd);
  if (WIFEXITED(status)) end.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end.exitStatus = 128 + WTERMSIG(status);
  return end;
}

std::optional<FailureLine> parseFailureLine(const std::string& text) {
  // The file is the job's own sales file, whose name holds no ':'; the description may
  // (a signal's names the line's text), so the first ":N: " is the line number.
  static const std::regex re(R"(^cassard: [^:]*:(\d+): (.*) \(exit \d+\)$)");
  std::optional<FailureLine> found;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, re)) found = FailureLine{std::stoi(m[1].str()), m[2].str()};
  }
  return found;
}

// Why a status read gave no status, for the register's card: what cassard explained on
// stderr (the line, its lock, the register) names the cause; its failure line only
// repeats the console's text, used when nothing else.
static std::string whyUnread(const fs::path& dir, const ChildEnd& end, std::chrono::seconds limit) {
  std::string why;
  if (!end.spawnError.empty()) {
    why = end.spawnError;
  } else if (!end.exitStatus) {
    why = "the service is stopping";
  } else {
    // What cassard explained on stderr (the line, its lock, the register) names the
    // cause; its failure line only repeats the console's text, used when nothing else.
    const std::string err = readFile(dir / kStderrFile);
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty() && !parseFailureLine(line))
        why += (why.empty() ? "" : "; ") + fromLatin1(line);
    if (const auto f = parseFailureLine(err); f && why.empty()) why = fromLatin1(f->description);
    const std::string meaning = end.timedOut
                                    ? "no answer within " + std::to_string(limit.count()) + " s"
                                    : exitMeaning(*end.exitStatus);
    why = why.empty() ? meaning : why + " (" + meaning + ")";
  }
  return why;
}

std::vector<int> processesIn(const fs::path& dir) {
  std::vector<int> pids;
  std::error_code ec;
  const fs::path want = fs::weakly_canonical(dir, ec);
  DIR* d = opendir("/proc");
  if (!d) return pids;
  while (dirent* e = readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    char link[PATH_MAX];
    const std::string p = "/proc/" + std::to_string(pid) + "/cwd";
    const ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    if (fs::path(std::string(link, static_cast<std::size_t>(n))) == want) pids.push_back(pid);
  }
  closedir(d);
  return pids;
}

// ------------------------------------------------------------------------------ Worker

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
                     std::chrono::seconds limit) {
  // The child's own limit, then SIGTERM and 3 s until SIGKILL.
  expect(limit + std::chrono::seconds(3));
  ChildEnd end = runChild(argv, dir, limit, abandon_);
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
  RunResult r;
  r.console = fromLatin1(readFile(dir / kConsoleFile));
  const std::string err = readFile(dir / kStderrFile);
  if (const auto f = parseFailureLine(err)) {
    if (f->line > 0) r.failedLine = f->line;
    r.registerText = fromLatin1(f->description);
  }
  r.exitStatus = end.exitStatus;
  if (!end.spawnError.empty()) {
    r.meaning = "cassard could not be started: " + end.spawnError;
  } else if (end.timedOut) {
    r.meaning = "stopped after the time limit of " + std::to_string(cfg_.jobTimeoutS) + " s";
  } else if (end.exitStatus) {
    r.meaning = exitMeaning(*end.exitStatus);
  }
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    if (n.rfind("dump", 0) == 0 && isRunFile(n)) {
      r.dumpLog += fromLatin1(readFile(dir / n));
    } else if (!isRunFile(n)) {
      r.files.push_back({n, static_cast<int64_t>(fs::file_size(dir / n, ec))});
    }
  }
  return r;
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
         std::nullopt});
    setRuntime(false, std::nullopt);
    return;
  }
  const fs::path dir = jobDir(job.id);
  fs::remove_all(dir);
  fs::create_directories(dir);
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
      run(withSettings({cfg_.cassard, "--status-after", kStatusFile, kSalesFile}, reg_), dir,
          std::chrono::seconds(cfg_.jobTimeoutS));
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
  if (o.hold) hold({o.reason, job.id});
  setRuntime(false, std::nullopt);
}

void Worker::runSimple(Job job) {
  setRuntime(true, std::nullopt);
  const fs::path dir = jobDir(job.id);
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::string> argv;
  if (job.kind == "status") {
    argv = withSettings({cfg_.cassard, "--status"}, reg_);
  } else {
    std::ofstream sales(dir / kSalesFile, std::ios::binary);
    for (const std::string& l : job.lines) sales << l << '\n';
    if (!sales.flush()) throw StoreError("cannot write " + (dir / kSalesFile).string());
    argv = withSettings({cfg_.cassard, kSalesFile}, reg_);
  }
  job = store_.start(job.id, std::nullopt);
  hub_.publish(reg_.name);
  const ChildEnd end = run(argv, dir, std::chrono::seconds(cfg_.jobTimeoutS));
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
  if (const auto pids = processesIn(dir); !pids.empty()) {
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
  if (o.hold) hold({o.reason, job.id});
  setRuntime(false, std::nullopt);
}

// --------------------------------------------------------------------------- Registers

namespace {
constexpr double kBuckets[] = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};
}

Registers::Registers(const Config& cfg, Store& store) : cfg_(cfg), store_(store) {
  for (const RegisterConfig& r : cfg_.registers)
    workers_.push_back(std::make_unique<Worker>(cfg_, r, store_, *this));
}

void Registers::start() {
  for (auto& w : workers_) w->start();
}

void Registers::stop(bool now) {
  // Every worker is told first, so that they stop together.
  std::vector<std::thread> stoppers;
  for (auto& w : workers_) stoppers.emplace_back([&w, now] { w->stop(now); });
  for (auto& t : stoppers) t.join();
}

void Registers::abandon() {
  for (auto& w : workers_) w->abandon();
}

Worker* Registers::find(const std::string& name) {
  for (auto& w : workers_)
    if (w->reg().name == name) return w.get();
  return nullptr;
}

json Registers::registerJson(const std::string& name) {
  Worker* w = find(name);
  if (!w) return nullptr;
  const RegisterRow row = store_.registerRow(name);
  const Worker::Runtime rt = w->runtime();
  const char* state = row.held         ? "held"
                      : rt.busy        ? "busy"
                      : rt.unreachable ? "unreachable"
                                       : "idle";
  json payments = json::array();
  for (const auto& [method, code] : w->reg().payments)
    payments.push_back({{"method", method}, {"code", code}, {"amount", paymentTakesAmount(code)}});
  json last = nullptr;
  if (row.lastStatus) {
    last = statusJson(*row.lastStatus);
    last["at"] = row.lastStatusAt.value_or("");
  }
  return {
      {"name", name},
      {"device", w->reg().device},
      {"state", state},
      {"queued", store_.count(name, JobState::Queued)},
      {"held", row.held ? json{{"reason", row.held->reason},
                               {"jobId", row.held->jobId ? json(*row.held->jobId) : json(nullptr)}}
                        : json(nullptr)},
      {"lastStatus", last},
      {"lastError", rt.unreachable ? json(rt.lastError) : json(nullptr)},
      {"payments", payments}};
}

json Registers::allJson() {
  json a = json::array();
  for (auto& w : workers_) a.push_back(registerJson(w->reg().name));
  return a;
}

void Registers::jobQueued(const std::string& name) {
  if (Worker* w = find(name)) w->wake();
  publish(name);
}

void Registers::publish(const std::string& name) {
  std::lock_guard lock(pm_);
  try {
    std::string now = jsonText(registerJson(name));
    std::string& last = published_[name];
    if (now == last) return;
    store_.appendEvent("register", json::parse(now));
    last = now;
  } catch (const StoreError& e) {
    // What a register shows is told again with its next change; a job's moves are
    // never left to this.
    std::cerr << "cassardd: register " << name << ": its change is not published: " << e.what()
              << std::endl;
  }
}

void Registers::observe(const std::string& reg, const std::string& kind, double seconds) {
  std::lock_guard lock(pm_);
  Histogram& h = durations_[{reg, kind}];
  if (h.buckets.empty()) h.buckets.assign(std::size(kBuckets), 0);
  for (std::size_t i = 0; i < std::size(kBuckets); ++i)
    if (seconds <= kBuckets[i]) ++h.buckets[i];
  ++h.count;
  h.sum += seconds;
}

std::string Registers::stuck() const {
  for (const auto& w : workers_)
    if (const auto late = w->overdue(); late.count() > 0)
      return "the worker of register " + w->reg().name + " has not moved on for " +
             std::to_string(late.count()) + " s past its bound";
  return "";
}

std::string Registers::metrics() {
  std::ostringstream out;
  out << "# HELP cassardd_jobs Jobs in the store by register and state.\n# TYPE cassardd_jobs "
         "gauge\n";
  const auto byState = store_.countByState();
  for (const RegisterConfig& r : cfg_.registers)
    for (const char* s : {"queued", "running", "done", "failed", "uncertain", "attention"}) {
      int64_t n = 0;
      for (const auto& c : byState)
        if (c.reg == r.name && c.label == s) n = c.n;
      out << "cassardd_jobs{register=\"" << r.name << "\",state=\"" << s << "\"} " << n << "\n";
    }
  out << "# HELP cassardd_job_exit_total cassard runs of jobs in the store by exit status.\n"
         "# TYPE cassardd_job_exit_total counter\n";
  for (const auto& c : store_.countByExit())
    out << "cassardd_job_exit_total{register=\"" << c.reg << "\",exit_status=\"" << c.label
        << "\"} " << c.n << "\n";
  out << "# HELP cassardd_job_duration_seconds From the start of a job's run to its state after "
         "it.\n"
         "# TYPE cassardd_job_duration_seconds histogram\n";
  {
    std::lock_guard lock(pm_);
    for (const auto& [k, h] : durations_) {
      const std::string labels = "register=\"" + k.first + "\",kind=\"" + k.second + "\"";
      for (std::size_t i = 0; i < std::size(kBuckets); ++i)
        out << "cassardd_job_duration_seconds_bucket{" << labels << ",le=\"" << kBuckets[i]
            << "\"} " << h.buckets[i] << "\n";
      out << "cassardd_job_duration_seconds_bucket{" << labels << ",le=\"+Inf\"} " << h.count
          << "\n";
      out << "cassardd_job_duration_seconds_sum{" << labels << "} " << h.sum << "\n";
      out << "cassardd_job_duration_seconds_count{" << labels << "} " << h.count << "\n";
    }
  }
  out << "# HELP cassardd_register_up 1 when the last read of the register answered.\n"
         "# TYPE cassardd_register_up gauge\n";
  for (auto& w : workers_)
    out << "cassardd_register_up{register=\"" << w->reg().name << "\"} "
        << (w->runtime().unreachable ? 0 : 1) << "\n";
  out << "# HELP cassardd_register_held 1 while the register is held until resumed.\n"
         "# TYPE cassardd_register_held gauge\n";
  for (auto& w : workers_)
    out << "cassardd_register_held{register=\"" << w->reg().name << "\"} "
        << (store_.registerRow(w->reg().name).held ? 1 : 0) << "\n";
  out << "# HELP cassardd_queue_length Jobs queued for the register.\n# TYPE cassardd_queue_length "
         "gauge\n";
  for (auto& w : workers_)
    out << "cassardd_queue_length{register=\"" << w->reg().name << "\"} "
        << store_.count(w->reg().name, JobState::Queued) << "\n";
  return out.str();
}

}  // namespace cassardd

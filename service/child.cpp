#include "service/child.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "service/latin1.h"
#include "service/settle.h"

extern char** environ;

namespace cassardd {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool isRunFile(const std::string& name) {
  return name == kSalesFile || name == kConsoleFile || name == kStderrFile || name == kStatusFile ||
         name == kStatusBeforeFile ||
         (name.rfind("dump", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".log");
}

// The pidfd becomes readable the moment the child ends.
void waitExit(int pidfd, int ms) {
  pollfd p{pidfd, POLLIN, 0};
  poll(&p, 1, ms);
}

}  // namespace

std::string readFile(const fs::path& p, std::size_t max) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return {};
  std::string s(max, '\0');
  in.read(s.data(), static_cast<std::streamsize>(max));
  s.resize(static_cast<std::size_t>(in.gcount()));
  return s;
}

fs::path jobFilesDir(const fs::path& jobDir) {
  std::error_code ec;
  const fs::path own = jobDir / kFilesDir;
  return fs::is_directory(own, ec) ? own : jobDir;
}

ChildEnd runChild(const std::vector<std::string>& argv, const fs::path& dir,
                  std::chrono::seconds limit, const std::atomic<bool>& abandon,
                  const fs::path& cwd) {
  ChildEnd end;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, (cwd.empty() ? dir : cwd).c_str());
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
std::string whyUnread(const fs::path& dir, const ChildEnd& end, std::chrono::seconds limit) {
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

std::string unreadCode(const std::string& err, const ChildEnd& end) {
  if (!end.spawnError.empty() || !end.exitStatus) return "other";
  if (end.timedOut) return "no_answer";
  // cassard names the line it could not open or lock, with the system's reason.
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("cassard: cannot lock ", 0) == 0) return "line_locked";
    if (line.rfind("cassard: cannot open ", 0) != 0) continue;
    for (const char* missing : {"No such file or directory", "No such device"})
      if (line.find(missing) != std::string::npos) return "device_missing";
    for (const char* denied : {"Permission denied", "Operation not permitted"})
      if (line.find(denied) != std::string::npos) return "permission_denied";
    if (line.find("Resource temporarily unavailable") != std::string::npos ||
        line.find("Device or resource busy") != std::string::npos)
      return "line_locked";
  }
  // No answer at all, or none while the register stayed critical.
  switch (*end.exitStatus) {
    case 4:
    case 17:
    case 32:
      return "no_answer";
    default:
      return "other";
  }
}

std::optional<int> lastCommandLine(const std::string& dumpLog, const std::string& salesFile) {
  static constexpr std::string_view kLast = "\nUltimo comando: ";
  const std::size_t at = dumpLog.rfind(kLast);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t from = at + kLast.size();
  const std::string command = dumpLog.substr(from, dumpLog.find('\n', from) - from);
  std::istringstream in(salesFile);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == command) return number;
  }
  return std::nullopt;
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

std::optional<int> exitStatusLeft(const fs::path& dir) {
  const std::string err = readFile(dir / kStderrFile);
  if (parseFailureLine(err)) {
    static const std::regex exitRe(R"(\(exit (\d+)\)\s*$)");
    std::smatch m;
    if (std::regex_search(err, m, exitRe)) return std::stoi(m[1].str());
    return std::nullopt;
  }
  if (readFile(dir / kConsoleFile).find(kFinalText) != std::string::npos) return 0;
  return std::nullopt;
}

RunResult collectRun(const fs::path& dir, const ChildEnd& end, int limitS) {
  RunResult r;
  r.console = fromLatin1(readFile(dir / kConsoleFile));
  const std::string err = readFile(dir / kStderrFile);
  if (const auto f = parseFailureLine(err)) {
    if (f->line > 0) r.failedLine = f->line;
    r.registerText = fromLatin1(f->description);
  }
  r.exitStatus = end.exitStatus;
  r.before = parseStatus(readFile(dir / kStatusBeforeFile));
  const bool lineUnsaid = !r.failedLine && r.exitStatus != 0;
  if (!end.spawnError.empty()) {
    r.meaning = "cassard could not be started: " + end.spawnError;
  } else if (end.timedOut) {
    r.meaning = "stopped after the time limit of " + std::to_string(limitS) + " s";
  } else if (end.exitStatus) {
    r.meaning = exitMeaning(*end.exitStatus);
  }
  // The run's own folder holds only what cassard wrote there: its dump logs and the
  // downloads. A job run before there was one has them among the service's files.
  const fs::path own = jobFilesDir(dir);
  const bool apart = own != dir;
  std::error_code ec;
  // Unless a download of the job took its name: then it stays where cassard wrote it.
  if (apart && fs::is_regular_file(dir / kFiscalFile, ec) && !fs::exists(own / kFiscalFile, ec))
    fs::rename(dir / kFiscalFile, own / kFiscalFile, ec);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(own, ec))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string dumps;  // as cassard wrote them (Latin-1)
  for (const std::string& n : names) {
    if (n.rfind("dump", 0) == 0 && isRunFile(n)) {
      dumps += readFile(own / n);
    } else if (apart || !isRunFile(n)) {
      r.files.push_back({n, static_cast<int64_t>(fs::file_size(own / n, ec))});
    }
  }
  r.dumpLog = fromLatin1(dumps);
  if (lineUnsaid) r.failedLine = lastCommandLine(dumps, readFile(dir / kSalesFile));
  return r;
}

}  // namespace cassardd

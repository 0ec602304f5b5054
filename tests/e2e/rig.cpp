#include "rig.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rig {

namespace {

// Waits for the child up to the timeout through a pidfd, so a fast exit is seen at once.
// Returns false on timeout, leaving the child running.
bool waitFor(pid_t pid, std::chrono::milliseconds timeout, int& wstatus) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int r;
    do {
      r = poll(&p, 1, static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    close(pidfd);
    if (r == 0) return false;
    return waitpid(pid, &wstatus, 0) == pid;
  }
  // Kernels without pidfd: look every few milliseconds.
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid, &wstatus, WNOHANG) == pid) return true;
    usleep(2000);
  }
  return false;
}

int statusOf(int wstatus) {
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

[[noreturn]] void execIn(const std::filesystem::path& dir, const std::vector<std::string>& argv,
                         int out, int err, const Identity* as = nullptr,
                         std::initializer_list<int> closed = {}) {
  if (chdir(dir.c_str()) != 0) _exit(126);
  if (as && (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0))
    _exit(125);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, STDIN_FILENO);
  if (devnull > STDERR_FILENO) close(devnull);
  for (int fd : closed) {
    int p[2];
    if (fd != kBrokenConsole) {
      close(fd);
    } else if (pipe(p) == 0) {
      close(p[0]);
      dup2(p[1], STDOUT_FILENO);
      close(p[1]);
    }
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

Rig::Rig(const std::string& profile, std::vector<std::string> ecrsimArgs) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "cassard-e2e-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  const std::string profilePath = profile.find('/') == std::string::npos
                                      ? std::string(CASSARD_TEST_DATA) + "/profiles/" + profile
                                      : profile;
  // clang-format off
  std::vector<std::string> argv = {ECRSIM_BIN, "--link", link(), "--profile", profilePath,
                                   "--record", (dir_ / "record.txt").string(),
                                   "--roll", (dir_ / "roll.txt").string(),
                                   "--control", (dir_ / "ctl").string(), "--trace"};
  // clang-format on
  argv.insert(argv.end(), ecrsimArgs.begin(), ecrsimArgs.end());

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int err = open((dir_ / "ecrsim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ecrsim_ = fork();
  if (ecrsim_ == 0) execIn(dir_, argv, pipefd[1], err);
  close(pipefd[1]);
  close(err);

  // The ready line says the link exists and the register serves.
  std::string got;
  char c;
  pollfd p{pipefd[0], POLLIN, 0};
  while (got.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
    if (read(pipefd[0], &c, 1) != 1) break;
    got.push_back(c);
  }
  close(pipefd[0]);
  if (got.rfind("ecrsim ready on ", 0) != 0) {
    ADD_FAILURE() << "ecrsim did not come up: " << got << ecrsimErrors();
    stop();
  }
}

Rig::~Rig() {
  stop();
  if (::testing::Test::HasFailure()) {
    std::cerr << "e2e: files kept in " << dir_ << "\n";
  } else {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

int Rig::stop() {
  if (ecrsim_ > 0) {
    kill(ecrsim_, SIGTERM);
    int wstatus = 0;
    if (!waitFor(ecrsim_, std::chrono::seconds(10), wstatus)) {
      kill(ecrsim_, SIGKILL);
      waitpid(ecrsim_, &wstatus, 0);
    }
    ecrsimStatus_ = statusOf(wstatus);
    ecrsim_ = -1;
  }
  return ecrsimStatus_;
}

Run Rig::cassard(const std::string& sales, std::chrono::milliseconds timeout,
                 const std::string& salesName) {
  std::ofstream(dir_ / salesName, std::ios::binary) << sales;
  return cassardArgs({salesName, link()}, timeout);
}

Run Rig::cassardArgs(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  return wait(spawn(args, false, nullptr, {}), false, timeout);
}

Run Rig::cassardApart(const std::vector<std::string>& args, const Identity* as,
                      std::chrono::milliseconds timeout) {
  return wait(spawn(args, true, as, {}), true, timeout);
}

pid_t Rig::start(const std::vector<std::string>& args, std::initializer_list<int> closed) {
  return spawn(args, true, nullptr, closed);
}

Run Rig::finish(pid_t pid, std::chrono::milliseconds timeout) {
  return wait(pid, true, timeout);
}

pid_t Rig::spawn(const std::vector<std::string>& args, bool apart, const Identity* as,
                 std::initializer_list<int> closed) {
  std::vector<std::string> argv = {CASSARD_BIN};
  if (as) {
    // Another user may not reach the build tree (under a home of mode 0700, say): it
    // runs a copy from this directory.
    const auto copy = dir_ / "cassard";
    std::filesystem::copy_file(CASSARD_BIN, copy,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms(0755));
    argv[0] = copy.string();
  }
  argv.insert(argv.end(), args.begin(), args.end());
  auto create = [&](const char* name) {
    return open((dir_ / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  };
  const int out = create("console.txt");
  const int err = apart ? create("errors.txt") : out;
  pid_t pid = fork();
  if (pid == 0) execIn(dir_, argv, out, err, as, closed);
  close(out);
  if (apart) close(err);
  return pid;
}

Run Rig::wait(pid_t pid, bool apart, std::chrono::milliseconds timeout) {
  Run run;
  int wstatus = 0;
  if (!waitFor(pid, timeout, wstatus)) {
    run.timedOut = true;
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  }
  run.status = run.timedOut ? -1 : statusOf(wstatus);
  run.console = file("console.txt");
  if (apart) run.errors = file("errors.txt");
  return run;
}

std::string todaysDumpLog() {
  char name[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(name, sizeof name, "dump%m%d.log", std::localtime(&now));
  return name;
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Rig::file(const std::string& name) const {
  return slurp(dir_ / name);
}

std::string Rig::control(const std::string& command) const {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = (dir_ / "ctl").string();
  if (path.size() >= sizeof addr.sun_path) return "";
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  std::string answer;
  const std::string line = command + "\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
    pollfd p{fd, POLLIN, 0};
    char c;
    while (poll(&p, 1, 5000) > 0 && read(fd, &c, 1) == 1 && c != '\n') answer.push_back(c);
  }
  close(fd);
  return answer;
}

std::vector<std::string> Rig::record() const {
  std::vector<std::string> lines;
  std::istringstream in(file("record.txt"));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::vector<std::string> Rig::commands() const {
  std::vector<std::string> out;
  for (const std::string& l : record())
    if (l.find(' ') == std::string::npos && l != "49") out.push_back(l);
  return out;
}

std::string Rig::dumpLog() const {
  std::string all;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("dump", 0) == 0 && n.size() > 4 && e.path().extension() == ".log") all += file(n);
  }
  return all;
}

}  // namespace rig

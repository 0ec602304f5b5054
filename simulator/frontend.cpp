#include "simulator/frontend.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>

#include "simulator/control.h"

namespace ecrsim {

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) {
  gStop = 1;
}

constexpr std::size_t kMaxCommand = 4096;
constexpr std::size_t kMaxClientOut = 1 << 20;
constexpr std::size_t kMaxClients = 256;
constexpr uint32_t kCloseEvents = IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

void trace(bool on, const char* dir, const uint8_t* b, std::size_t n) {
  if (!on || n == 0) return;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::fprintf(stderr, "%ld.%03ld %s %s\n", static_cast<long>(ts.tv_sec), ts.tv_nsec / 1000000, dir,
               hex({b, n}).c_str());
}

// Monotonic time, and the few sums the output queue needs.
timespec now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

timespec plusNs(timespec t, long long ns) {
  ns += t.tv_nsec;
  t.tv_sec += static_cast<time_t>(ns / 1000000000LL);
  t.tv_nsec = static_cast<long>(ns % 1000000000LL);
  return t;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A stale link of an earlier run is replaced; anything else at that path is somebody's
// file, and a mistyped --link must not cost it.
bool clearLinkPath(const std::string& link, std::string& error) {
  struct stat old {};
  if (lstat(link.c_str(), &old) != 0) return true;
  if (!S_ISLNK(old.st_mode)) {
    error = link + " exists and is not a symbolic link; not replacing it";
    return false;
  }
  unlink(link.c_str());
  return true;
}

bool openLine(const std::string& link, Line& line, std::string& error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  const std::string slave = ptsname(master);
  // Raw both ways: the line discipline must not echo, translate or buffer a byte.
  termios tio{};
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }
  // Opened and closed once, the slave leaves the master reporting a hang-up for as long as
  // no host has it open: from the start, the master tells whether a host holds the line.
  if (const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); s >= 0) close(s);
  if (!clearLinkPath(link, error)) {
    close(master);
    return false;
  }
  if (symlink(slave.c_str(), link.c_str()) != 0) {
    error = "cannot create " + link + ": " + std::strerror(errno);
    close(master);
    return false;
  }
  line = Line{};
  line.master = master;
  line.slave = slave;
  // A host that closes the line and a new one that opens it at once can both come and
  // go between two reads of the master; the close events of the slave device, read
  // before any new data, tell the conversations apart. Its open events wake the idle
  // wait, so a new host's first byte is answered at once, not at the next look.
  line.closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (line.closes >= 0 &&
      inotify_add_watch(line.closes, slave.c_str(), kCloseEvents | IN_OPEN) < 0) {
    close(line.closes);
    line.closes = -1;
  }
  return true;
}

void closeLine(const std::string& link, Line& line) {
  if (line.closes >= 0) close(line.closes);
  if (line.master >= 0) close(line.master);
  // Only our own link goes: someone may have published another line there meanwhile.
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == line.slave) unlink(link.c_str());
  line = Line{};
}

// True when `path` holds a socket another process still serves.
bool servedSocket(const sockaddr_un& addr) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool live =
      probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  if (probe >= 0) close(probe);
  return live;
}

// The control socket at `path`: a stale socket is replaced, one in use or any other
// file is refused.
int listenControl(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "--control wants a path of 1 to " + std::to_string(sizeof addr.sun_path - 1) + " bytes";
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("control socket: ") + std::strerror(errno);
    return -1;
  }
  struct stat old {};
  if (lstat(path.c_str(), &old) == 0) {
    if (!S_ISSOCK(old.st_mode) || servedSocket(addr)) {
      error = path + (S_ISSOCK(old.st_mode) ? " is served by another process; not replacing it"
                                            : " exists and is not a socket; not replacing it");
      close(fd);
      return -1;
    }
    unlink(path.c_str());
  }
  const mode_t mask = umask(077);
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  umask(mask);
  if (!bound || listen(fd, 16) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Writes what the client is owed; false when it is gone or will not read.
bool flushClient(Client& c) {
  while (!c.out.empty()) {
    const ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) break;
    if (w <= 0) return false;
    c.out.erase(0, static_cast<std::size_t>(w));
  }
  return c.out.size() <= kMaxClientOut;
}

}  // namespace

sigset_t blockStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked, waitMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  return waitMask;
}

Frontend::Frontend(Register& reg, Options options)
    : reg_(reg),
      o_(std::move(options)),
      nsPerByte_(o_.paceBaud > 0 ? 10L * 1000000000L / o_.paceBaud : 0) {}

bool Frontend::open(std::string& error, int& status) {
  if (!o_.controlPath.empty()) {
    controlFd_ = listenControl(o_.controlPath, error);
    if (controlFd_ < 0) {
      status = 2;
      return false;
    }
    struct stat st {};
    stat(o_.controlPath.c_str(), &st);
    controlDev_ = st.st_dev;
    controlIno_ = st.st_ino;
  }
  if (!openLine(o_.link, line_, error)) {
    if (controlFd_ >= 0) unlink(o_.controlPath.c_str());
    status = error.find("not replacing") != std::string::npos ? 2 : 1;
    return false;
  }
  return true;
}

int Frontend::run(const sigset_t& waitMask) {
  int status = 0;
  while (!gStop && running_) {
    const Wake wake = writeDue();
    if (!running_) break;
    if (!waitForWork(wake, waitMask)) {
      if (errno == EINTR) continue;
      std::perror("ecrsim: poll");
      status = 1;
      break;
    }
    acceptClients();
    serveClients();
    // A host's next bytes wait until all of the answer before them is on its way.
    if (line_.master >= 0 && queue_.empty()) readHost();
  }
  shutdown();
  return status;
}

// What is due goes out: pauses end on the clock, and with --pace each byte leaves when
// the wire would have delivered it, on an absolute clock so that a late wake-up does not
// add up over a long answer.
Frontend::Wake Frontend::writeDue() {
  Wake wake;
  while (!queue_.empty() && line_.master >= 0) {
    Pending& p = queue_.front();
    const timespec t = now();
    if (!p.started) {
      // The pauses of one answer run on one schedule, from the end of the pause before
      // (or the last paced byte), so that a late wake-up does not stretch a long stream
      // of timed bytes.
      timespec base = t;
      if (!p.first) {
        base = scheduled_;
        if (nsPerByte_ > 0 && before(base, lineFree_)) base = lineFree_;
      }
      p.started = true;
      p.due = plusNs(base, 1000000LL * p.chunk.delayMs);
    }
    if (before(t, p.due)) {
      wake.at = true;
      wake.when = p.due;
      break;
    }
    if (p.chunk.hangup) {
      unplug();
      break;
    }
    if (!p.onWire) {
      p.onWire = true;
      trace(o_.trace, "ECR ", p.chunk.bytes.data(), p.chunk.bytes.size());
      // The wire is free from now, or from the last byte of the answer before.
      if (before(lineFree_, t)) lineFree_ = t;
    }
    if (!writeBytes(p, wake)) break;
    scheduled_ = p.due;
    queue_.pop_front();
  }
  return wake;
}

// Writes what the line takes of p now; true when p is done with (written, or the line
// failed).
bool Frontend::writeBytes(Pending& p, Wake& wake) {
  const Bytes& b = p.chunk.bytes;
  while (p.sent < b.size()) {
    std::size_t n = b.size() - p.sent;
    timespec slot{};
    if (nsPerByte_ > 0) {
      slot = plusNs(lineFree_, nsPerByte_);
      if (before(now(), slot)) {
        wake.at = true;
        wake.when = slot;
        return false;
      }
      n = 1;
    }
    const ssize_t w = write(line_.master, b.data() + p.sent, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      wake.writable = true;
      return false;
    }
    if (w <= 0) {
      if (o_.trace) std::fprintf(stderr, "-- write failed: %s\n", std::strerror(errno));
      return true;
    }
    if (nsPerByte_ > 0) lineFree_ = slot;
    p.sent += static_cast<std::size_t>(w);
  }
  return true;
}

// Waits for a client, the line or the clock; false when the wait failed (errno says why).
bool Frontend::waitForWork(const Wake& wake, const sigset_t& waitMask) {
  fds_.clear();
  if (controlFd_ >= 0) fds_.push_back({controlFd_, POLLIN, 0});
  for (const Client& c : clients_)
    fds_.push_back(
        {c.fd, static_cast<short>((c.eof ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT)), 0});
  timespec until = wake.when;
  bool timed = wake.at;
  if (line_.master >= 0) {
    if (!queue_.empty()) {
      if (wake.writable) fds_.push_back({line_.master, POLLOUT, 0});
    } else if (line_.idle) {
      // With no host on the line the master reports a hang-up at once; look again a
      // little later rather than spin, or as soon as a host opens the line.
      if (line_.closes >= 0) fds_.push_back({line_.closes, POLLIN, 0});
      until = plusNs(now(), 2000000);
      timed = true;
    } else {
      fds_.push_back({line_.master, POLLIN, 0});
    }
  }
  timespec timeout{};
  if (timed) {
    const timespec t = now();
    if (before(t, until)) {
      const long long ns = (until.tv_sec - t.tv_sec) * 1000000000LL + (until.tv_nsec - t.tv_nsec);
      timeout = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    }
  }
  const int r = ppoll(fds_.data(), fds_.size(), timed ? &timeout : nullptr, &waitMask);
  controlReady_ = r > 0 && controlFd_ >= 0 && (fds_[0].revents & POLLIN);
  return r >= 0;
}

void Frontend::acceptClients() {
  if (!controlReady_) return;
  for (int fd; (fd = accept4(controlFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
    if (clients_.size() >= kMaxClients) {
      const std::string busy = errorJson("too many control clients") + "\n";
      (void)!send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
      close(fd);
      continue;
    }
    clients_.push_back({fd, {}, {}, false});
  }
}

void Frontend::serveClients() {
  for (std::size_t i = 0; i < clients_.size();) {
    if (!serveClient(clients_[i])) {
      close(clients_[i].fd);
      clients_.erase(clients_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

// Reads what a client wrote and answers each whole line; false when it is gone.
bool Frontend::serveClient(Client& c) {
  char in[4096];
  while (!c.eof) {
    const ssize_t n = read(c.fd, in, sizeof in);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n < 0) return false;
    if (n == 0) {
      // A last command without its line end still counts.
      c.eof = true;
      c.in += '\n';
    }
    if (n > 0) c.in.append(in, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = c.in.find('\n')) != std::string::npos;) {
      const std::string command = c.in.substr(0, nl);
      c.in.erase(0, nl + 1);
      if (c.discarding) {
        c.discarding = false;
      } else if (command.find_first_not_of(" \t\r") != std::string::npos) {
        answer(c, command);
      }
    }
    if (c.in.size() > kMaxCommand) {
      if (!c.discarding)
        c.out +=
            errorJson("a command longer than " + std::to_string(kMaxCommand) + " bytes") + "\n";
      c.in.clear();
      c.discarding = true;
    }
  }
  return flushClient(c) && !(c.eof && c.out.empty());
}

void Frontend::answer(Client& c, const std::string& command) {
  LineInfo info{line_.master >= 0, hostHolds(), o_.link};
  ControlReply r = controlCommand(reg_, command, info);
  switch (r.action) {
    case LineAction::Hangup:
      unplug();
      r.json = R"({"line":null,"ok":true})";
      break;
    case LineAction::Plug: {
      std::string error;
      if (openLine(o_.link, line_, error)) {
        rollText("== a new line ==\n");
        r.json = nlohmann::json{{"ok", true}, {"line", o_.link}, {"slave", line_.slave}}.dump();
      } else {
        r.json = errorJson(error);
      }
      break;
    }
    case LineAction::Reset:
      queue_.clear();
      line_.hostPresent = false;
      rollText("== reset ==\n");
      break;
    case LineAction::None:
      break;
  }
  c.out += r.json + "\n";
}

// A host holds the line from the moment it opens it until it closes it: the master
// reports a hang-up exactly while nobody has the slave open.
bool Frontend::hostHolds() const {
  if (line_.master < 0) return false;
  pollfd p{line_.master, 0, 0};
  return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void Frontend::readHost() {
  noticeCloses();
  std::array<uint8_t, 512> buf{};
  const ssize_t n = read(line_.master, buf.data(), buf.size());
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    line_.idle = false;
    return;
  }
  if (n <= 0) {
    // EIO: the last host closed the line. Keep the master, wait for the next one.
    hostGone();
    line_.idle = true;
    return;
  }
  line_.idle = false;
  line_.hostPresent = true;
  trace(o_.trace, "HOST", buf.data(), static_cast<std::size_t>(n));
  bool first = true;
  for (Chunk& c : reg_.feed({buf.data(), static_cast<std::size_t>(n)})) {
    queue_.push_back({std::move(c)});
    queue_.back().first = first;
    first = false;
  }
}

void Frontend::noticeCloses() {
  if (line_.closes < 0) return;
  alignas(inotify_event) char events[1024];
  bool closed = false;
  for (ssize_t k; (k = read(line_.closes, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= k;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
      if (ev->mask & kCloseEvents) closed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  if (closed) hostGone();
}

void Frontend::hostGone() {
  // Keys a person pressed while a host that sent nothing held the line die with it too.
  if (!line_.hostPresent && !reg_.keysPressed()) return;
  reg_.hostGone();
  if (o_.trace && line_.hostPresent) std::fprintf(stderr, "-- host closed the line\n");
  line_.hostPresent = false;
}

// The line vanishes: with a control socket ecrsim stays up, its state readable and a new
// line a `plug` away; without one there is nothing left to do.
void Frontend::unplug() {
  if (o_.trace) std::fprintf(stderr, "-- the line vanishes\n");
  queue_.clear();
  hostGone();
  reg_.hostGone();
  closeLine(o_.link, line_);
  rollText("== the line vanishes ==\n");
  if (controlFd_ < 0) running_ = false;
}

void Frontend::rollText(const std::string& text) {
  if (text.empty()) return;
  std::fputs(text.c_str(), o_.roll);
  std::fflush(o_.roll);
}

void Frontend::shutdown() {
  for (const Client& c : clients_) close(c.fd);
  clients_.clear();
  if (controlFd_ >= 0) {
    close(controlFd_);
    controlFd_ = -1;
    // Only our own socket goes.
    struct stat there {};
    if (stat(o_.controlPath.c_str(), &there) == 0 && there.st_ino == controlIno_ &&
        there.st_dev == controlDev_)
      unlink(o_.controlPath.c_str());
  }
  if (line_.master >= 0) closeLine(o_.link, line_);
}

}  // namespace ecrsim

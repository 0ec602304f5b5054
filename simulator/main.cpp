// ecrsim: the register on a pseudo-terminal. It publishes the slave side of a pty
// under a stable path, serves one host at a time for as long as it runs, and writes
// what it received (--record), its paper roll (--roll) and the wire (--trace).
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config.h"
#include "simulator/control.h"
#include "simulator/faults.h"
#include "simulator/model.h"
#include "simulator/profile.h"
#include "simulator/roll.h"

using namespace ecrsim;

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) {
  gStop = 1;
}

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

const char* const kUsage =
    "usage: ecrsim --link PATH [options]\n"
    "\n"
    "Plays a fiscal cash register on a pseudo-terminal whose slave side is published\n"
    "as the symbolic link PATH. Serves hosts one after another until SIGTERM or SIGINT.\n"
    "\n"
    "  --link PATH      where to publish the line (required; only a link is replaced)\n"
    "  --profile FILE   register profile (JSON); without one, built-in defaults\n"
    "  --fault FAULT    a fault, KIND[=ARG][@TARGET]; may be repeated (see below)\n"
    "  --record FILE    one line per frame received: the command in hex, prefixed\n"
    "                   \"BAD \", \"REP \", \"NACK \", ... when it was not executed\n"
    "  --roll FILE      the paper roll (default: standard output)\n"
    "  --trace          both directions of the wire in hex, on standard error\n"
    "  --pace BAUD      send at the line's speed: 10 bits per byte at BAUD\n"
    "  --control PATH   a Unix socket taking one-line commands (state, receipts, fault FAULT,\n"
    "                   clear, reset, hangup, plug), each answered with one JSON line\n"
    "  --help           this text\n"
    "  --version        the version, and exit\n"
    "\n"
    "TARGET is a command number (1 = first command received, 'I' requests not\n"
    "counted), a command letter, run:N (the Nth command of each host's conversation),\n"
    "or an event: payment, sale, journal, receipt, each with an optional :N (the Nth\n"
    "from when the fault is armed). Without a target the fault hits every command, or\n"
    "for critical, busy, staframe, stadle and dead holds from the start. Faults:\n";

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

// The line: the master side of a pty, its slave published at the link, and the
// slave's open and close events.
struct Line {
  int master = -1;
  int closes = -1;
  std::string slave;
  bool hostPresent = false;
  bool idle = true;  // the last read found nobody on the line
};

constexpr uint32_t kCloseEvents = IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

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
  // A stale link of an earlier run is replaced; anything else at that path is somebody's
  // file, and a mistyped --link must not cost it.
  struct stat old {};
  if (lstat(link.c_str(), &old) == 0) {
    if (!S_ISLNK(old.st_mode)) {
      error = link + " exists and is not a symbolic link; not replacing it";
      close(master);
      return false;
    }
    unlink(link.c_str());
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

// Something the register writes, after its pause: held in a queue so that the loop
// never sleeps and the control socket is answered while an answer waits.
struct Pending {
  Chunk chunk;
  bool started = false;  // its pause began
  bool first = false;    // the first of what one read of the host's bytes brought
  bool onWire = false;   // its first byte is on its way
  timespec due{};        // when the pause ends
  std::size_t sent = 0;
};

// One client of the control socket.
struct Client {
  int fd = -1;
  std::string in, out;
  bool discarding = false;  // the rest of an over-long command
  bool eof = false;         // it wrote all it will: answer, then close
};

constexpr std::size_t kMaxCommand = 4096;
constexpr std::size_t kMaxClientOut = 1 << 20;
constexpr std::size_t kMaxClients = 256;

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
    if (!S_ISSOCK(old.st_mode)) {
      error = path + " exists and is not a socket; not replacing it";
      close(fd);
      return -1;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      error = path + " is served by another process; not replacing it";
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

int main(int argc, char** argv) {
  std::string link, profilePath, recordPath, rollPath, controlPath;
  std::vector<std::string> faultSpecs;
  bool traceOn = false;
  long paceBaud = 0;
  static const option kOptions[] = {{"link", required_argument, nullptr, 'l'},
                                    {"profile", required_argument, nullptr, 'p'},
                                    {"fault", required_argument, nullptr, 'f'},
                                    {"record", required_argument, nullptr, 'r'},
                                    {"roll", required_argument, nullptr, 'o'},
                                    {"trace", no_argument, nullptr, 't'},
                                    {"pace", required_argument, nullptr, 'b'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'v'},
                                    {"control", required_argument, nullptr, 'c'},
                                    {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'l':
        link = optarg;
        break;
      case 'p':
        profilePath = optarg;
        break;
      case 'f':
        faultSpecs.emplace_back(optarg);
        break;
      case 'r':
        recordPath = optarg;
        break;
      case 'o':
        rollPath = optarg;
        break;
      case 't':
        traceOn = true;
        break;
      case 'c':
        controlPath = optarg;
        break;
      case 'b': {
        char* end = nullptr;
        paceBaud = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || paceBaud < 50 || paceBaud > 4000000) {
          std::fprintf(stderr, "ecrsim: --pace wants a speed in baud, 50 to 4000000\n");
          return 2;
        }
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kFaultHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
      case 'v':
        std::fputs("ecrsim (" PACKAGE ") " VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (link.empty() || optind != argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  Profile profile;
  std::string error;
  if (profilePath.empty() ? !profileFromText("{}", profile, error)
                          : !loadProfile(profilePath, profile, error)) {
    std::fprintf(stderr, "ecrsim: %s\n", error.c_str());
    return 2;
  }
  std::vector<Fault> faults;
  std::vector<std::string> allWritten = profile.faults;
  allWritten.insert(allWritten.end(), faultSpecs.begin(), faultSpecs.end());
  for (const std::string& written : allWritten) {
    Fault f;
    if (!parseFault(written, f, error)) {
      std::fprintf(stderr, "ecrsim: %s\n", error.c_str());
      return 2;
    }
    faults.push_back(f);
  }

  File record(nullptr, fclose), roll(nullptr, fclose);
  if (!recordPath.empty()) {
    record.reset(std::fopen(recordPath.c_str(), "w"));
    if (!record) {
      std::fprintf(stderr, "ecrsim: cannot write %s: %s\n", recordPath.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  FILE* rollOut = stdout;
  if (!rollPath.empty()) {
    roll.reset(std::fopen(rollPath.c_str(), "w"));
    if (!roll) {
      std::fprintf(stderr, "ecrsim: cannot write %s: %s\n", rollPath.c_str(), std::strerror(errno));
      return 2;
    }
    rollOut = roll.get();
  }

  int controlFd = -1;
  struct stat controlStat {};
  if (!controlPath.empty()) {
    controlFd = listenControl(controlPath, error);
    if (controlFd < 0) {
      std::fprintf(stderr, "ecrsim: %s\n", error.c_str());
      return 2;
    }
    stat(controlPath.c_str(), &controlStat);
  }
  Line line;
  if (!openLine(link, line, error)) {
    std::fprintf(stderr, "ecrsim: %s\n", error.c_str());
    if (controlFd >= 0) unlink(controlPath.c_str());
    return error.find("not replacing") != std::string::npos ? 2 : 1;
  }

  // The signals are let through only inside ppoll, so a stop request is never lost
  // between the check of the flag and the wait.
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

  Register reg(std::move(profile), std::move(faults));
  const int decimals = reg.profile().decimals;
  reg.onFrame = [&](std::string_view mark, std::span<const uint8_t> cmd) {
    if (!record) return;
    std::fprintf(record.get(), "%.*s%s\n", static_cast<int>(mark.size()), mark.data(),
                 hex(cmd).c_str());
    std::fflush(record.get());
  };
  auto rollText = [&](const std::string& text) {
    if (text.empty()) return;
    std::fputs(text.c_str(), rollOut);
    std::fflush(rollOut);
  };
  reg.onExecuted = [&](const Executed& ev) { rollText(rollLines(ev, decimals)); };

  std::printf("ecrsim ready on %s -> %s\n", link.c_str(), line.slave.c_str());
  std::fflush(stdout);

  const long nsPerByte = paceBaud > 0 ? 10L * 1000000000L / paceBaud : 0;
  timespec lineFree{};
  timespec scheduled{};  // when the last answer written was due
  std::deque<Pending> queue;
  std::vector<Client> clients;
  int status = 0;
  std::array<uint8_t, 512> buf{};

  auto hostGone = [&] {
    if (!line.hostPresent) return;
    reg.hostGone();
    line.hostPresent = false;
    if (traceOn) std::fprintf(stderr, "-- host closed the line\n");
  };
  // The line vanishes: with a control socket ecrsim stays up, its state readable and a
  // new line a `plug` away; without one there is nothing left to do.
  bool running = true;
  auto unplug = [&] {
    if (traceOn) std::fprintf(stderr, "-- the line vanishes\n");
    queue.clear();
    hostGone();
    reg.hostGone();
    closeLine(link, line);
    rollText("== the line vanishes ==\n");
    if (controlFd < 0) running = false;
  };

  auto answer = [&](Client& c, const std::string& command) {
    LineInfo info{line.master >= 0, line.hostPresent, link};
    ControlReply r = controlCommand(reg, command, info);
    switch (r.action) {
      case LineAction::Hangup:
        unplug();
        r.json = R"({"line":null,"ok":true})";
        break;
      case LineAction::Plug:
        if (openLine(link, line, error)) {
          rollText("== a new line ==\n");
          r.json = nlohmann::json{{"ok", true}, {"line", link}, {"slave", line.slave}}.dump();
        } else {
          r.json = errorJson(error);
        }
        break;
      case LineAction::Reset:
        queue.clear();
        line.hostPresent = false;
        rollText("== reset ==\n");
        break;
      case LineAction::None:
        break;
    }
    c.out += r.json + "\n";
  };

  // Reads what a client wrote and answers each whole line; false when it is gone.
  auto serveClient = [&](Client& c) {
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
  };

  while (!gStop && running) {
    // What is due goes out: pauses end on the clock, and with --pace each byte leaves
    // when the wire would have delivered it, on an absolute clock so that a late
    // wake-up does not add up over a long answer.
    timespec wake{};
    bool waking = false, wantOut = false;
    while (!queue.empty() && line.master >= 0) {
      Pending& p = queue.front();
      const timespec t = now();
      if (!p.started) {
        // The pauses of one answer run on one schedule, from the end of the pause before
        // (or the last paced byte), so that a late wake-up does not stretch a long
        // stream of timed bytes.
        timespec base = t;
        if (!p.first) {
          base = scheduled;
          if (nsPerByte > 0 && before(base, lineFree)) base = lineFree;
        }
        p.started = true;
        p.due = plusNs(base, 1000000LL * p.chunk.delayMs);
      }
      if (before(t, p.due)) {
        wake = p.due;
        waking = true;
        break;
      }
      if (p.chunk.hangup) {
        unplug();
        break;
      }
      const Bytes& b = p.chunk.bytes;
      if (!p.onWire) {
        p.onWire = true;
        trace(traceOn, "ECR ", b.data(), b.size());
        // The wire is free from now, or from the last byte of the answer before.
        if (before(lineFree, t)) lineFree = t;
      }
      bool failed = false;
      while (p.sent < b.size()) {
        std::size_t n = b.size() - p.sent;
        timespec slot{};
        if (nsPerByte > 0) {
          slot = plusNs(lineFree, nsPerByte);
          if (before(now(), slot)) {
            wake = slot;
            waking = true;
            break;
          }
          n = 1;
        }
        const ssize_t w = write(line.master, b.data() + p.sent, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
          wantOut = true;
          break;
        }
        if (w <= 0) {
          if (traceOn) std::fprintf(stderr, "-- write failed: %s\n", std::strerror(errno));
          failed = true;
          break;
        }
        if (nsPerByte > 0) lineFree = slot;
        p.sent += static_cast<std::size_t>(w);
      }
      if (!failed && p.sent < b.size()) break;
      scheduled = p.due;
      queue.pop_front();
    }
    if (!running) break;

    std::vector<pollfd> fds;
    if (controlFd >= 0) fds.push_back({controlFd, POLLIN, 0});
    for (const Client& c : clients)
      fds.push_back(
          {c.fd, static_cast<short>((c.eof ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT)), 0});
    timespec timeout{};
    const timespec* limit = nullptr;
    if (line.master >= 0) {
      if (!queue.empty()) {
        if (wantOut) fds.push_back({line.master, POLLOUT, 0});
      } else if (line.idle) {
        // With no host on the line the master reports a hang-up at once; look again a
        // little later rather than spin, or as soon as a host opens the line.
        if (line.closes >= 0) fds.push_back({line.closes, POLLIN, 0});
        wake = plusNs(now(), 2000000);
        waking = true;
      } else {
        fds.push_back({line.master, POLLIN, 0});
      }
    }
    if (waking) {
      const timespec t = now();
      if (before(t, wake)) {
        long long ns = (wake.tv_sec - t.tv_sec) * 1000000000LL + (wake.tv_nsec - t.tv_nsec);
        timeout = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
      }
      limit = &timeout;
    }
    const int r = ppoll(fds.data(), fds.size(), limit, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("ecrsim: poll");
      status = 1;
      break;
    }

    if (controlFd >= 0 && (fds[0].revents & POLLIN)) {
      for (int fd;
           (fd = accept4(controlFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        if (clients.size() >= kMaxClients) {
          const std::string busy = errorJson("too many control clients") + "\n";
          (void)!send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
          close(fd);
          continue;
        }
        clients.push_back({fd, {}, {}, false});
      }
    }
    for (std::size_t i = 0; i < clients.size();) {
      if (!serveClient(clients[i])) {
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }

    if (line.master < 0 || !queue.empty()) continue;
    if (line.closes >= 0) {
      alignas(inotify_event) char events[1024];
      bool closed = false;
      for (ssize_t k; (k = read(line.closes, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= k;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
          if (ev->mask & kCloseEvents) closed = true;
          at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
      }
      if (closed) hostGone();
    }
    const ssize_t n = read(line.master, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      line.idle = false;
      continue;
    }
    if (n <= 0) {
      // EIO: the last host closed the line. Keep the master, wait for the next one.
      hostGone();
      line.idle = true;
      continue;
    }
    line.idle = false;
    line.hostPresent = true;
    trace(traceOn, "HOST", buf.data(), static_cast<std::size_t>(n));
    bool first = true;
    for (Chunk& c : reg.feed({buf.data(), static_cast<std::size_t>(n)})) {
      queue.push_back({std::move(c)});
      queue.back().first = first;
      first = false;
    }
  }
  for (const Client& c : clients) close(c.fd);
  if (controlFd >= 0) {
    close(controlFd);
    // Only our own socket goes.
    struct stat there {};
    if (stat(controlPath.c_str(), &there) == 0 && there.st_ino == controlStat.st_ino &&
        there.st_dev == controlStat.st_dev)
      unlink(controlPath.c_str());
  }
  if (line.master >= 0) closeLine(link, line);
  if (reg.badFrames() > 0)
    std::fprintf(stderr, "ecrsim: %u damaged frames refused\n", reg.badFrames());
  return status;
}

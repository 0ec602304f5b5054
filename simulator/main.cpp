// ecrsim: the register on a pseudo-terminal. It publishes the slave side of a pty
// under a stable path, serves one host at a time for as long as it runs, and writes
// what it received (--record), its paper roll (--roll) and the wire (--trace).
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
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

// The stop signals are held back outside the wait for the host; a long answer (a
// noise or delay fault) looks for them between its writes.
bool stopPending() {
  sigset_t pending;
  if (!gStop && sigpending(&pending) == 0 &&
      (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1))
    gStop = 1;
  return gStop;
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
    "  --help           this text\n"
    "  --version        the version, and exit\n"
    "\n"
    "TARGET is a command number (1 = first command received, 'I' requests not\n"
    "counted) or a command letter; without it the fault hits every command, or for\n"
    "critical, busy, staframe, stadle and dead hold from the start. Faults:\n";

void trace(bool on, const char* dir, const uint8_t* b, std::size_t n) {
  if (!on || n == 0) return;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::fprintf(stderr, "%ld.%03ld %s %s\n", static_cast<long>(ts.tv_sec), ts.tv_nsec / 1000000, dir,
               hex({b, n}).c_str());
}

bool writeAll(int fd, const uint8_t* b, std::size_t n) {
  while (n > 0 && !gStop) {
    ssize_t w = write(fd, b, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (w <= 0) return false;
    b += w;
    n -= static_cast<std::size_t>(w);
  }
  return n == 0;
}

// A real line carries a byte in 10 bit times (start, 8 data, stop). Each byte is
// handed to the pty when the wire would have delivered it, on an absolute clock so
// that sleep overshoot does not add up over a long answer.
bool pacedWrite(int fd, const uint8_t* b, std::size_t n, long nsPerByte, timespec& lineFree) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (now.tv_sec > lineFree.tv_sec ||
      (now.tv_sec == lineFree.tv_sec && now.tv_nsec > lineFree.tv_nsec))
    lineFree = now;
  for (std::size_t i = 0; i < n; ++i) {
    lineFree.tv_nsec += nsPerByte;
    lineFree.tv_sec += lineFree.tv_nsec / 1000000000L;
    lineFree.tv_nsec %= 1000000000L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &lineFree, nullptr) == EINTR && !gStop) {
    }
    if (!writeAll(fd, b + i, 1)) return false;
  }
  return true;
}

void sleepMs(unsigned ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !gStop) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, profilePath, recordPath, rollPath;
  std::vector<std::string> faultSpecs;
  bool traceOn = false;
  long paceBaud = 0;
  static const option kOptions[] = {
      {"link", required_argument, nullptr, 'l'},  {"profile", required_argument, nullptr, 'p'},
      {"fault", required_argument, nullptr, 'f'}, {"record", required_argument, nullptr, 'r'},
      {"roll", required_argument, nullptr, 'o'},  {"trace", no_argument, nullptr, 't'},
      {"pace", required_argument, nullptr, 'b'},  {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'v'},     {nullptr, 0, nullptr, 0}};
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

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("ecrsim: pseudo-terminal");
    return 1;
  }
  const char* slave = ptsname(master);
  if (slave == nullptr) {
    std::perror("ecrsim: ptsname");
    return 1;
  }
  const std::string slaveName = slave;
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
      std::fprintf(stderr, "ecrsim: %s exists and is not a symbolic link; not replacing it\n",
                   link.c_str());
      return 2;
    }
    unlink(link.c_str());
  }
  if (symlink(slaveName.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "ecrsim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
    return 1;
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
  reg.onExecuted = [&](const Executed& ev) {
    std::string lines = rollLines(ev, decimals);
    if (lines.empty()) return;
    std::fputs(lines.c_str(), rollOut);
    std::fflush(rollOut);
  };

  std::printf("ecrsim ready on %s -> %s\n", link.c_str(), slaveName.c_str());
  std::fflush(stdout);

  // A host that closes the line and a new one that opens it at once can both come and
  // go between two reads of the master; the close events of the slave device, read
  // before any new data, tell the conversations apart. Its open events wake the idle
  // wait, so a new host's first byte is answered at once, not at the next look.
  constexpr uint32_t kCloseEvents = IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;
  int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (closes >= 0 && inotify_add_watch(closes, slaveName.c_str(), kCloseEvents | IN_OPEN) < 0) {
    close(closes);
    closes = -1;
  }

  const long nsPerByte = paceBaud > 0 ? 10L * 1000000000L / paceBaud : 0;
  timespec lineFree{};
  int status = 0;
  bool hostPresent = false;
  std::array<uint8_t, 512> buf{};
  while (!gStop) {
    pollfd p{master, POLLIN, 0};
    // With no host on the line the master reports a hang-up at once; look again a
    // little later rather than spin.
    timespec idle{0, 2000000};
    int r = ppoll(&p, 1, hostPresent ? nullptr : &idle, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("ecrsim: poll");
      status = 1;
      break;
    }
    if (r == 0) continue;
    if (closes >= 0) {
      alignas(inotify_event) char events[1024];
      bool closed = false;
      for (ssize_t k; (k = read(closes, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= k;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
          if (ev->mask & kCloseEvents) closed = true;
          at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
      }
      if (closed && hostPresent) {
        reg.hostGone();
        hostPresent = false;
        if (traceOn) std::fprintf(stderr, "-- host closed the line\n");
      }
    }
    ssize_t n = read(master, buf.data(), buf.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      // EIO: the last host closed the line. Keep the master, wait for the next one.
      if (hostPresent) {
        reg.hostGone();
        hostPresent = false;
        if (traceOn) std::fprintf(stderr, "-- host closed the line\n");
      }
      if (!(p.revents & POLLIN)) {
        // Nothing to read and nobody there: wait the idle interval, or until a host
        // opens the line.
        pollfd opens{closes, POLLIN, 0};
        ppoll(closes >= 0 ? &opens : nullptr, closes >= 0 ? 1 : 0, &idle, &waitMask);
      }
      continue;
    }
    hostPresent = true;
    trace(traceOn, "HOST", buf.data(), static_cast<std::size_t>(n));
    bool hangup = false;
    for (const Chunk& c : reg.feed({buf.data(), static_cast<std::size_t>(n)})) {
      if (stopPending()) break;
      if (c.delayMs > 0) sleepMs(c.delayMs);
      if (c.hangup) {
        hangup = true;
        break;
      }
      trace(traceOn, "ECR ", c.bytes.data(), c.bytes.size());
      const bool sent =
          nsPerByte > 0 ? pacedWrite(master, c.bytes.data(), c.bytes.size(), nsPerByte, lineFree)
                        : writeAll(master, c.bytes.data(), c.bytes.size());
      if (!sent && traceOn) std::fprintf(stderr, "-- write failed: %s\n", std::strerror(errno));
    }
    if (hangup) {
      if (traceOn) std::fprintf(stderr, "-- the line vanishes\n");
      break;
    }
  }
  if (closes >= 0) close(closes);
  close(master);
  // Only our own link goes: someone may have published another line there meanwhile.
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slaveName) unlink(link.c_str());
  if (reg.badFrames() > 0)
    std::fprintf(stderr, "ecrsim: %u damaged frames refused\n", reg.badFrames());
  return status;
}

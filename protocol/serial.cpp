// The serial line: open, lock, configure; buffered byte input.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/port.h"
#include "protocol/process.h"
#include "protocol/protocol.h"

int FOpenPort = -1;
std::array<uint8_t, READ_CHUNK> ReadInBuffer{};
long ReadBufferLen = 0;
long ReadBufferPos = 0;

namespace {

// atol without its overflow: leading blanks, a sign, digits; strtol saturates at
// LONG_MIN and LONG_MAX, which match no rate and no field value.
long parseLong(const char* s) {
  return std::strtol(s, nullptr, 10);
}

// After 7 quick retries the register gets 1 s per retry: a register busy printing
// answers late, a dead one is given up after about 6.3 s.
constexpr int WAIT_READS = 12;
constexpr int QUICK_RETRIES = 7;
constexpr unsigned QUICK_PAUSE_US = 10'000;
constexpr unsigned SLOW_PAUSE_US = 1'000'000;
static_assert(READ_WAIT_SILENT_US == WAIT_READS * 100'000u + QUICK_RETRIES * QUICK_PAUSE_US +
                                         (WAIT_READS - QUICK_RETRIES) * uint64_t{SLOW_PAUSE_US});

// The step of the last TProtocol that failed, and its errno.
bool failedLocking = false;
int failedErrno = 0;

// One read of the line into ReadInBuffer; true when it brought bytes.
bool refill() {
  ReadBufferPos = 0;
  const long n = portRead(FOpenPort, ReadInBuffer.data(), ReadInBuffer.size());
  ReadBufferLen = n > 0 ? n : 0;
  if (ReadBufferLen == 0) return false;
  LogRead(ReadInBuffer.data(), ReadBufferLen);
  return true;
}

// Settings the device refuses end the run without a report: the system's reason on
// stderr, then the failure line.
[[noreturn]] void settingsRefused(const char* call) {
  const int err = errno;
  std::perror(call);
  char text[128];
  std::snprintf(text, sizeof text, "%s: %s", call, std::strerror(err));
  WriteFailureLine(text, -1);
  portExit(-1);
}

}  // namespace

int ttyconvertspeed(long s) {
  switch (s) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B9600;
  }
}

void ConfigureTermio(termio& tty, const char* speed) {
  tty.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                   IUCLC | IXON | IXANY | IXOFF);
  tty.c_oflag &= ~OPOST;
  tty.c_cflag &= ~(CBAUD | HUPCL);
  tty.c_cflag |= CREAD | CLOCAL | B9600;
  tty.c_lflag &= ~(ISIG | ICANON | XCASE | ECHO);
  std::memset(tty.c_cc, 0, sizeof tty.c_cc);
  // VMIN 0, VTIME 1: a read returns what is there, or nothing after 0.1 s.
  tty.c_cc[VTIME] = 1;

  char text[SPEED_TEXT_MAX + 1];
  std::snprintf(text, sizeof text, "%s", speed ? speed : DEFAULT_SPEED);

  // Fields split like strtok on ",": a run of commas is one separator, so an empty
  // field does not exist and the fields after it move up one place.
  char* save = nullptr;
  int field = 0;
  for (char* tok = strtok_r(text, ",", &save); tok; tok = strtok_r(nullptr, ",", &save), ++field) {
    switch (field) {
      case 0:
        tty.c_cflag &= ~CBAUD;
        tty.c_cflag |= static_cast<unsigned>(ttyconvertspeed(parseLong(tok))) | CLOCAL;
        break;
      case 1:
        if (tok[0] == 'E' || tok[0] == 'e') {
          tty.c_cflag |= PARENB;
          tty.c_cflag &= ~PARODD;
        } else if (tok[0] == 'O' || tok[0] == 'o') {
          tty.c_cflag |= PARENB | PARODD;
        } else {
          tty.c_cflag &= ~PARENB;
        }
        break;
      case 2: {
        static constexpr unsigned sizes[] = {CS5, CS6, CS7, CS8};
        const long bits = parseLong(tok);
        if (bits >= 5 && bits <= 8) {
          tty.c_cflag &= ~CSIZE;
          tty.c_cflag |= sizes[bits - 5];
        }
        break;
      }
      case 3: {
        const long stop = parseLong(tok);
        if (stop == 1 || stop == 2) {
          tty.c_cflag &= ~CSTOPB;
          if (stop == 2) tty.c_cflag |= CSTOPB;
        }
        break;
      }
      default:
        break;
    }
  }
}

void ttySetSpeed(int dev, const char* speed) {
  termio tty{};
  // Never build the settings from an unread record.
  if (ioctl(dev, TCGETA, &tty) < 0) settingsRefused("ioctl()");
  ConfigureTermio(tty, speed);
  if (ioctl(dev, TCSETA, &tty) < 0) settingsRefused("ioctl()");
  // The line stays non-blocking: portRead() bounds every wait itself, so that no
  // device, whatever it makes of VMIN and VTIME, can hold a read for ever.
  if (fcntl(dev, F_SETFL, O_RDWR | O_NONBLOCK) < 0) settingsRefused("fcntl()");
}

void TProtocol(bool /*CreateSuspended*/, const char* ttyName, const char* Speed) {
  FOpenPort = -1;
  failedLocking = false;
  failedErrno = EINVAL;
  if (!ttyName) return;
  const int fd = open(ttyName, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    failedErrno = errno;
    return;
  }
  // Waits while another cassard drives the same register; a signal ends the wait.
  int rc;
  while ((rc = flock(fd, LOCK_EX)) < 0 && errno == EINTR) StopIfSignalled();
  if (rc < 0) {
    failedLocking = true;
    failedErrno = errno;
    close(fd);
    return;
  }
  FOpenPort = fd;
  ttySetSpeed(FOpenPort, Speed);

  OpenLog();
  for (auto& row : Matrix) row[0] = '\0';
  FNum = 0;
  std::snprintf(FErrorExt, sizeof FErrorExt, "%s", MP_NO_ERRORS_E);
  StAut = ST_IDLE;
  ReadBufferLen = 0;
  ReadBufferPos = 0;
}

int OpenPort() {
  return FOpenPort;
}

void FormatLineFailure(const char* device, const LineFailure& f, char* out, std::size_t n) {
  if (n < 2) {
    if (n == 1) out[0] = '\0';
    return;
  }
  // The text gets all but the last two bytes' worth, so the line end survives any cut.
  const std::size_t textMax = n - 2;
  std::size_t used = 0;
  auto add = [&](const char* fmt, auto... args) {
    const int w = std::snprintf(out + used, n - 1 - used, fmt, args...);
    if (w > 0) used = std::min(textMax, used + static_cast<std::size_t>(w));
  };
  add("cassard: cannot %s %s: %s", f.locking ? "lock" : "open", device, std::strerror(f.err));
  if (f.haveStat && (f.err == EACCES || f.err == EPERM)) {
    if (f.owner)
      add(" (owner %s", f.owner);
    else
      add(" (owner %u", f.uid);
    if (f.group)
      add(", group %s", f.group);
    else
      add(", group %u", f.gid);
    add(", mode %04o)", f.mode & 07777u);
    // The group opens the line only when it may both read and write it.
    const bool groupMay = (f.mode & S_IRGRP) && (f.mode & S_IWGRP);
    if (groupMay && !f.inGroup && !f.privileged && f.group) {
      const char* user = f.user ? f.user : "USER";
      add("; add the user %s to the group %s (usermod -aG %s %s) and log in again", user, f.group,
          f.group, user);
    }
  }
  out[used] = '\n';
  out[used + 1] = '\0';
}

void ReportLineFailure(const char* device) {
  LineFailure f;
  f.locking = failedLocking;
  f.err = failedErrno;
  struct stat st {};
  if (device && stat(device, &st) == 0) {
    f.haveStat = true;
    f.mode = st.st_mode;
    f.uid = st.st_uid;
    f.gid = st.st_gid;
    // getpwuid's record is overwritten by the next call: keep the owner's name.
    static char ownerName[64];
    if (const passwd* pw = getpwuid(st.st_uid)) {
      std::snprintf(ownerName, sizeof ownerName, "%s", pw->pw_name);
      f.owner = ownerName;
    }
    if (const group* gr = getgrgid(st.st_gid)) f.group = gr->gr_name;
    f.inGroup = getegid() == st.st_gid;
    gid_t groups[256];
    const int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i)
      if (groups[i] == st.st_gid) f.inGroup = true;
  }
  f.privileged = geteuid() == 0;
  if (const passwd* me = getpwuid(geteuid())) f.user = me->pw_name;
  char line[512];
  FormatLineFailure(device ? device : "", f, line, sizeof line);
  // The banner first, when both streams go to the same place.
  std::fflush(stdout);
  std::fputs(line, stderr);
}

bool ReadFile(uint8_t* In, bool Wait) {
  if (ReadBufferPos < ReadBufferLen) {
    *In = ReadInBuffer[static_cast<std::size_t>(ReadBufferPos++)];
    return true;
  }
  bool got = refill();
  for (int empty = 1; !got && Wait && empty <= WAIT_READS; ++empty) {
    LogMessage("TimeOut in ricezione (With Wait)");
    portPause(empty <= QUICK_RETRIES ? QUICK_PAUSE_US : SLOW_PAUSE_US);
    if (empty < WAIT_READS) got = refill();
  }
  if (!got) return false;
  *In = ReadInBuffer[0];
  ReadBufferPos = 1;
  return true;
}

void WaitNoChar() {
  DrainLine({});
}

std::size_t DrainLine(std::span<uint8_t> keep) {
  // A line that never falls quiet is drained only until the wait's deadline.
  WaitDeadline bound(READ_WAIT_SILENT_US);
  std::size_t kept = 0;
  uint8_t dropped;
  while (ReadFile(&dropped, false)) {
    if (kept < keep.size()) keep[kept++] = dropped;
    if (WaitOverdue()) {
      FWaitEnd = WaitEnd::Noise;
      break;
    }
  }
  ReadBufferPos = ReadBufferLen = 0;
  return kept;
}

void ClearBufferRx() {
  if (ReadBufferPos == ReadBufferLen) return;
  ReadBufferPos = ReadBufferLen = 0;
  WaitNoChar();
  ErrorHandle(" C'erano dei caratteri sporchi nel buffer!", 0);
}

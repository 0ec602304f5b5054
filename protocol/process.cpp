// The process around the link: run position, the failure line, created files, signals.

#include "protocol/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "protocol/protocol.h"

namespace {

// Read by the signal handler: plain values a handler may look at.
char runFile[256] = "";
volatile std::sig_atomic_t runFileSet = 0;  // a sales run, as opposed to a status query
volatile std::sig_atomic_t runLine = 0;
volatile std::sig_atomic_t pendingSignal = 0;

// How far the current line got, for the report of a signal.
enum class LineStage { Acting, Done };
LineStage lineStage = LineStage::Acting;
long commandsOfLine = 0;

// Appending without the stdio, so the signal handler can build the line too.
struct Appender {
  char* out;
  std::size_t room;  // characters that may still be written, the line end excluded
  std::size_t len = 0;

  void text(const char* s) {
    for (; s && *s && len < room; ++s) out[len++] = *s;
  }
  void decimal(long v) {
    char digits[24];
    std::size_t k = 0;
    const bool negative = v < 0;
    unsigned long u =
        negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
      digits[k++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    if (negative && len < room) out[len++] = '-';
    while (k > 0 && len < room) out[len++] = digits[--k];
  }
  // One line: control bytes become spaces; trailing blanks go.
  void oneLine(const char* s) {
    const std::size_t start = len;
    for (; s && *s && len < room; ++s) {
      const auto c = static_cast<unsigned char>(*s);
      out[len++] = (c < 0x20 || c == 0x7f) ? ' ' : *s;
    }
    while (len > start && out[len - 1] == ' ') --len;
  }
};

const char* signalName(int signo) {
  switch (signo) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "?";
  }
}

void handler(int signo) {
  NoteSignal(signo);
}

}  // namespace

void SetRunFile(const char* name) {
  runFileSet = name != nullptr;
  Appender a{runFile, sizeof runFile - 1};
  a.text(name);
  runFile[a.len] = '\0';
}

void SetRunLine(long number) {
  runLine = static_cast<std::sig_atomic_t>(number);
  lineStage = LineStage::Acting;
  commandsOfLine = 0;
}

long RunLine() {
  return runLine;
}

void MarkRunLineDone() {
  lineStage = LineStage::Done;
}

std::size_t FormatFailureLine(const char* file, long line, const char* description, int code,
                              char* out, std::size_t n) {
  if (n < 2) {
    if (n == 1) out[0] = '\0';
    return 0;
  }
  // The end " (exit N)" is what a host looks for: a long description gives way to it.
  char suffix[16];
  Appender x{suffix, sizeof suffix - 1};
  x.text(" (exit ");
  x.decimal(code & 0xff);
  x.text(")");
  const std::size_t room = n - 2;
  Appender a{out, room > x.len ? room - x.len : 0};
  a.text("cassard: ");
  a.text(file);
  a.text(":");
  a.decimal(line);
  a.text(": ");
  a.oneLine(description);
  a.room = room;
  for (std::size_t i = 0; i < x.len && a.len < a.room; ++i) out[a.len++] = suffix[i];
  out[a.len++] = '\n';
  out[a.len] = '\0';
  return a.len;
}

void WriteFailureLine(const char* description, int code) {
  if (!runFileSet) return;
  char line[512];
  FormatFailureLine(runFile, runLine, description, code, line, sizeof line);
  // After the console, when both go to the same place.
  std::fflush(stdout);
  std::fputs(line, stderr);
  std::fflush(stderr);
}

FILE* CreateOutputFile(const char* name, const char* mode) {
  int flags = O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  if (std::strcmp(mode, "w") == 0) {
    flags |= O_WRONLY | O_TRUNC;
  } else if (std::strcmp(mode, "w+") == 0) {
    flags |= O_RDWR | O_TRUNC;
  } else if (std::strcmp(mode, "a") == 0) {
    flags |= O_WRONLY | O_APPEND;
  } else {
    errno = EINVAL;
    return nullptr;
  }
  // O_NONBLOCK: a FIFO without a reader is refused at once instead of waited on.
  const int fd = open(name, flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* f = fdopen(fd, mode);
  if (!f) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

void InstallSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&sa.sa_mask, s);
  // No SA_RESTART: a wait for the line's lock must be able to give way to a signal.
  sa.sa_flags = 0;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void NoteSignal(int signo) {
  if (pendingSignal == 0) {
    pendingSignal = signo;
    return;
  }
  // Told twice: end now, with only what a handler may safely do.
  if (!runFileSet) _exit(128 + signo);
  char line[512];
  char description[64];
  Appender d{description, sizeof description - 1};
  d.text("Interrotto dal segnale ");
  d.text(signalName(signo));
  description[d.len] = '\0';
  const std::size_t len =
      FormatFailureLine(runFile, runLine, description, 128 + signo, line, sizeof line);
  if (write(STDERR_FILENO, line, len) < 0) {
    // Nothing more can be said.
  }
  _exit(128 + signo);
}

int PendingSignal() {
  return pendingSignal;
}

void ClearPendingSignal() {
  pendingSignal = 0;
}

std::size_t DescribeSignalStop(int signo, const char* lastCommand, char* out, std::size_t n) {
  if (n == 0) return 0;
  char text[LAST_CMD_LEN];
  Appender t{text, sizeof text - 1};
  t.oneLine(lastCommand);
  text[t.len] = '\0';

  Appender d{out, n - 1};
  d.text("Interrotto dal segnale ");
  d.text(signalName(signo));
  if (runLine == 0) {
    d.text(" prima della prima riga");
  } else {
    d.text(": riga ");
    d.decimal(runLine);
    d.text(lineStage == LineStage::Done ? " eseguita per intero, nessuna successiva: "
           : commandsOfLine > 0         ? " eseguita solo in parte: "
                                        : " non eseguita: ");
    d.text(text);
  }
  out[d.len] = '\0';
  return d.len;
}

void CountLineCommand() {
  ++commandsOfLine;
}

bool GuardStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    const int n = open("/dev/null", O_RDWR);
    if (n < 0) return false;
    if (n != fd) {
      const bool moved = dup2(n, fd) == fd;
      close(n);
      if (!moved) return false;
    }
  }
  return true;
}

// The one failure path: last error, last sales line, the protocol trace ring, and
// the dump log every report is appended to.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "protocol/port.h"
#include "protocol/process.h"
#include "protocol/protocol.h"

int FError = 0;
char FErrorExt[ERROR_EXT_LEN] = "";
char LastCmd[LAST_CMD_LEN] = "";
char Matrix[DUMP_ROW][MATRIX_COL] = {};
int indMatrixRow = 0;

namespace {

// Bounded copy that always terminates.
template <std::size_t N>
void copyText(char (&dst)[N], const char* src) {
  std::snprintf(dst, N, "%s", src ? src : "");
}

constexpr std::size_t PREFIX_LEN = 5;  // "CPU: " or "ECR: "
// A row holds 249 characters: the prefix, ".XX" per byte and one trailing space.
constexpr long BYTES_PER_ROW = (MATRIX_COL - 1 - PREFIX_LEN - 1) / 3;

// Records one chunk of traffic; a chunk longer than a row goes on as many
// consecutive rows as it needs, each with the same prefix.
void logTraffic(const uint8_t* bytes, long len, const char* dir) {
  long done = 0;
  do {
    const long n = len - done < BYTES_PER_ROW ? len - done : BYTES_PER_ROW;
    LogBinToHex(bytes + done, n, Matrix[indMatrixRow], dir);
    indMatrixRow = (indMatrixRow + 1) % DUMP_ROW;
    done += n;
  } while (done < len);
}

}  // namespace

void SetError(int Error1, const char* ErrorExt1) {
  FError = Error1;
  copyText(FErrorExt, ErrorExt1);
}

void LastCommand(const char* Command) {
  copyText(LastCmd, Command);
}

// Renders "DIR" ".XX" per byte and one trailing space; the bare prefix for none.
// MessageOut must hold 5 + 3 * Len + 2 characters.
void LogBinToHex(const uint8_t* MessageIn, long Len, char* MessageOut, const char* Dir) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::memcpy(MessageOut, Dir, PREFIX_LEN);
  char* p = MessageOut + PREFIX_LEN;
  for (long i = 0; i < Len; ++i) {
    *p++ = '.';
    *p++ = hex[MessageIn[i] >> 4];
    *p++ = hex[MessageIn[i] & 0x0f];
  }
  if (Len > 0) *p++ = ' ';
  *p = '\0';
}

void LogWrite(const uint8_t* Message, long Len) {
  logTraffic(Message, Len, "CPU: ");
}
void LogRead(const uint8_t* Message, long Len) {
  logTraffic(Message, Len, "ECR: ");
}

namespace {

// A noisy line or a broken register can raise the same warning thousands of times a
// second. A run writes at most DUMP_LOG_BUDGET bytes to the dump log and
// CONSOLE_WARNING_BUDGET bytes of warnings to the console; each warning text is
// reported SAME_WARNING_LIMIT times, and beyond that, or beyond the budgets, it is
// counted. The counts go into the next report written.
constexpr std::size_t DUMP_LOG_BUDGET = std::size_t{1} << 20;
constexpr std::size_t CONSOLE_WARNING_BUDGET = std::size_t{64} << 10;
constexpr unsigned SAME_WARNING_LIMIT = 20;
// Kept back for the report that ends the run (a failure, or the closing count of
// warnings), so that it is always written whole: 30 trace rows, the last command and
// the lines of counts come to less than 16 KiB.
constexpr std::size_t DUMP_LOG_RESERVE = std::size_t{32} << 10;
constexpr std::size_t CONSOLE_RESERVE = std::size_t{1} << 10;

constexpr std::size_t WARNING_KINDS = 32;      // distinct warning texts followed
constexpr std::size_t WARNING_TEXT_KEPT = 64;  // characters of a text kept for its count

struct WarningKind {
  char text[WARNING_TEXT_KEPT];
  unsigned written;
  unsigned long omitted;
};

struct RunReports {
  std::size_t dumpBytes;
  std::size_t consoleBytes;
  std::size_t kinds;
  WarningKind kind[WARNING_KINDS];
  unsigned long omitted;       // warnings counted and not yet named in a report
  unsigned long omittedOther;  // of those, texts beyond the kinds followed
};

RunReports reports{};

WarningKind* kindOf(const char* text) {
  for (std::size_t i = 0; i < reports.kinds; ++i)
    if (std::strncmp(reports.kind[i].text, text, WARNING_TEXT_KEPT - 1) == 0)
      return &reports.kind[i];
  if (reports.kinds == WARNING_KINDS) return nullptr;
  WarningKind& k = reports.kind[reports.kinds++];
  copyText(k.text, text);
  return &k;
}

// The lines that name the warnings counted since the last report; empty when none.
std::string omittedLines() {
  if (reports.omitted == 0) return {};
  std::string out = "\nAvvisi non scritti: " + std::to_string(reports.omitted);
  auto line = [&out](unsigned long count, const char* text) {
    out += "\n  " + std::to_string(count) + " x ";
    for (const char* c = text; *c; ++c) out += *c == '\n' ? ' ' : *c;
  };
  for (std::size_t i = 0; i < reports.kinds; ++i)
    if (reports.kind[i].omitted) line(reports.kind[i].omitted, reports.kind[i].text);
  if (reports.omittedOther) line(reports.omittedOther, "(altri avvisi)");
  return out;
}

void clearOmitted() {
  reports.omitted = reports.omittedOther = 0;
  for (std::size_t i = 0; i < reports.kinds; ++i) reports.kind[i].omitted = 0;
}

std::string consoleMessage(const char* ErrorStr, int ErrNo) {
  return "\nErrore di comunicazione sulla porta seriale.\n"
         "Il protocollo ha risposto con: " +
         std::to_string(ErrNo) + "\n\nDescrizione: " + ErrorStr;
}

}  // namespace

void OpenLog() {
  indMatrixRow = 0;
  reports = RunReports{};
}
void CloseLog() {}
void LogMessage(const char*) {}

void DumpLogName(std::time_t when, char (&name)[16]) {
  std::tm t{};
  localtime_r(&when, &t);
  // Month 1-12 and day 1-31 always fit in two digits.
  std::snprintf(name, sizeof name, "dump%2.2u%2.2u.log", static_cast<unsigned>(t.tm_mon + 1) % 100u,
                static_cast<unsigned>(t.tm_mday) % 100u);
}

namespace {

std::string dumpReport(const char* ErrorStr, int ErrNo, std::time_t now) {
  std::tm t{};
  localtime_r(&now, &t);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "\nStart: %2.2d-%2.2d-%4.4d %2.2d:%2.2d:%2.2d\n", t.tm_mday,
                t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  std::string r = stamp;
  r += "Ultimo comando: ";
  r += LastCmd;
  r += "\nDump del protocollo: ";
  for (int i = 0; i < DUMP_ROW; ++i) {
    r += "\n";
    r += Matrix[(indMatrixRow + i) % DUMP_ROW];
  }
  r += "\nCodice numerico errore interno: " + std::to_string(FError) + " ";
  r += "\nCodice esteso errore interno: ";
  r += FErrorExt;
  r += "\nDescrizione: ";
  r += ErrorStr;
  if (ErrNo != 0) r += "\nCodice di uscita: " + std::to_string(ErrNo) + " ";
  r += omittedLines();
  r += "\nFine dump errore \n\n";
  return r;
}

void writeDumpReport(const std::string& report, std::time_t now) {
  char name[16];
  DumpLogName(now, name);
  FILE* log = CreateOutputFile(name, "a");
  if (!log) {
    std::fprintf(stderr, "cassard: cannot write the dump log %s: %s\n", name, std::strerror(errno));
    return;
  }
  std::fwrite(report.data(), 1, report.size(), log);
  if (std::fclose(log) != 0)
    std::fprintf(stderr, "cassard: cannot write the dump log %s: %s\n", name, std::strerror(errno));
}

void countOmitted(WarningKind* k) {
  ++reports.omitted;
  ++(k ? k->omitted : reports.omittedOther);
}

// A warning is written while its text has been written fewer than SAME_WARNING_LIMIT
// times (a text beyond the kinds followed is bound by the budgets alone) ...
WarningKind* warningKind(const char* ErrorStr, bool& counted) {
  WarningKind* k = kindOf(ErrorStr);
  counted = k && k->written >= SAME_WARNING_LIMIT;
  if (counted) countOmitted(k);
  return k;
}

// ... and both budgets, less their reserves, have room for it; otherwise it is counted.
bool roomFor(WarningKind* k, std::size_t dumpLen, std::size_t consoleLen) {
  if (reports.dumpBytes + dumpLen <= DUMP_LOG_BUDGET - DUMP_LOG_RESERVE &&
      reports.consoleBytes + consoleLen <= CONSOLE_WARNING_BUDGET - CONSOLE_RESERVE) {
    if (k) ++k->written;
    return true;
  }
  countOmitted(k);
  return false;
}

}  // namespace

namespace {
std::FILE* warningOut = nullptr;  // stdout unless told otherwise
std::FILE* warningStream() {
  return warningOut ? warningOut : stdout;
}
}  // namespace

void SetWarningStream(std::FILE* stream) {
  warningOut = stream;
}

void ErrorHandle(const char* ErrorStr, int ErrNo) {
  if (!ErrorStr) ErrorStr = "";
  WarningKind* kind = nullptr;
  if (ErrNo == 0) {
    bool counted = false;
    kind = warningKind(ErrorStr, counted);
    if (counted) return;
  }
  const std::time_t now = portNow();
  const std::string report = dumpReport(ErrorStr, ErrNo, now);
  const std::string console = consoleMessage(ErrorStr, ErrNo);
  if (ErrNo != 0 || roomFor(kind, report.size(), console.size())) {
    writeDumpReport(report, now);
    clearOmitted();
    reports.dumpBytes += report.size();
    if (ErrNo == 0) reports.consoleBytes += console.size();
    std::fwrite(console.data(), 1, console.size(), ErrNo == 0 ? warningStream() : stdout);
  }
  if (ErrNo != 0) {
    WriteFailureLine(ErrorStr, ErrNo);
    portExit(ErrNo);
  }
}

void ReportOmittedWarnings() {
  if (reports.omitted == 0) return;
  const std::time_t now = portNow();
  const std::string report = dumpReport(OMITTED_WARNINGS_TEXT, 0, now);
  const std::string console = consoleMessage(OMITTED_WARNINGS_TEXT, 0);
  writeDumpReport(report, now);
  clearOmitted();
  reports.dumpBytes += report.size();
  reports.consoleBytes += console.size();
  std::fwrite(console.data(), 1, console.size(), warningStream());
}

void FatalError(const char* ErrorStr, int ErrNo) {
  ErrorHandle(ErrorStr, ErrNo == 0 ? -1 : ErrNo);
  portExit(ErrNo == 0 ? -1 : ErrNo);  // not reached
}

void WriteOutput(FILE* f, const void* data, std::size_t len) {
  if (!f || std::fwrite(data, 1, len, f) != len) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
}

void FlushOutput(FILE* f) {
  if (!f || std::fflush(f) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
}

void StopIfSignalled() {
  const int signo = PendingSignal();
  if (signo == 0) return;
  char description[256];
  DescribeSignalStop(signo, LastCmd, description, sizeof description);
  FatalError(description, 128 + signo);
}

void BeginCommand() {
  StopIfSignalled();
  CountLineCommand();
}

// The one failure path: last error, last sales line, the protocol trace ring, and
// the dump log every report is appended to.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

void OpenLog() {
  indMatrixRow = 0;
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

void writeDumpReport(const char* ErrorStr, int ErrNo, std::time_t now) {
  char name[16];
  DumpLogName(now, name);
  FILE* log = CreateOutputFile(name, "a");
  if (!log) {
    std::fprintf(stderr, "cassard: cannot write the dump log %s: %s\n", name, std::strerror(errno));
    return;
  }
  std::tm t{};
  localtime_r(&now, &t);
  std::fprintf(log, "\nStart: %2.2d-%2.2d-%4.4d %2.2d:%2.2d:%2.2d\n", t.tm_mday, t.tm_mon + 1,
               t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  std::fputs("Ultimo comando: ", log);
  std::fputs(LastCmd, log);
  std::fputs("\nDump del protocollo: ", log);
  for (int i = 0; i < DUMP_ROW; ++i) {
    std::fputs("\n", log);
    std::fputs(Matrix[(indMatrixRow + i) % DUMP_ROW], log);
  }
  std::fprintf(log, "\nCodice numerico errore interno: %i ", FError);
  std::fputs("\nCodice esteso errore interno: ", log);
  std::fputs(FErrorExt, log);
  std::fputs("\nDescrizione: ", log);
  std::fputs(ErrorStr, log);
  if (ErrNo != 0) std::fprintf(log, "\nCodice di uscita: %i ", ErrNo);
  std::fputs("\nFine dump errore \n\n", log);
  if (std::fclose(log) != 0)
    std::fprintf(stderr, "cassard: cannot write the dump log %s: %s\n", name, std::strerror(errno));
}

}  // namespace

void ErrorHandle(const char* ErrorStr, int ErrNo) {
  if (!ErrorStr) ErrorStr = "";
  writeDumpReport(ErrorStr, ErrNo, portNow());
  std::fputs("\nErrore di comunicazione sulla porta seriale.\n", stdout);
  std::printf("Il protocollo ha risposto con: %i\n", ErrNo);
  std::fputs("\nDescrizione: ", stdout);
  std::fputs(ErrorStr, stdout);
  if (ErrNo != 0) {
    WriteFailureLine(ErrorStr, ErrNo);
    portExit(ErrNo);
  }
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

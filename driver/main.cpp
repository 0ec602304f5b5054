// Start-up, the main loop over the sales file, and the end of the run.

#include "driver/main.h"

#include <cstdio>
#include <cstring>

#include "driver/records.h"
#include "ecrconf/ecrconf.h"
#include "protocol/port.h"
#include "protocol/protocol.h"

namespace {

// The banner goes out byte for byte; the è of "Qusta è" is Latin-1 0xE8.
constexpr const char* BANNER[] = {
    "\nDriver Registratori di cassa Molvex, versione 4.0.8 'HT'\n",
    "\nPer informazioni e/o copia dei sorgenti contattare:\n",
    "cassard-dev@example.org\n",
    "Qusta \xE8 una versione beta non va utilizzata in ambienti di produzione\n",
};

constexpr const char* SERIAL_OPEN_ERROR_TEXT = "Impossibile aprire la porta seriale\n";
constexpr const char* INPUT_OPEN_ERROR_TEXT = "Impossibile aprire il file di input\n";
constexpr const char* INPUT_READ_ERROR_TEXT = "Errore in lettura del file di input\n";
constexpr const char* LONG_LINE_TEXT = "Riga troppo lunga: parte eccedente ignorata";
constexpr const char* FINAL_TEXT = "\nIl programma e stato terminato correttamente.\n\n";

constexpr std::size_t LINE_MAX_READ = LINE_BUF_LEN - 1;  // 254
constexpr std::size_t SHORT_FORM_MIN = 29;
constexpr std::size_t SHORT_FORM_MAX = 33;
constexpr std::size_t SHORT_FORM_PAD = 19;

FILE* salesFile = nullptr;  // `file`: left open until the process ends
int mode = 0;               // 1 once a fiscal report was asked for

void createFiscalReport(const char* salesName) {
  char name[NAME_MAX_LEN + 1];
  if (!fiscalReportName(salesName, name, sizeof name)) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  // The stream of an earlier fiscal record goes first, so nothing it still buffers
  // can land in the file created anew.
  if (fileo) {
    FILE* old = fileo;
    fileo = nullptr;
    if (std::fclose(old) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
  }
  fileo = std::fopen(name, "w+");
  if (!fileo) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  static constexpr char header[] = "[FISCALI]\n";
  WriteOutput(fileo, header, sizeof header - 1);
  FlushOutput(fileo);
  mode = 1;
  LoadCfgModel(1);
}

}  // namespace

SalesLine readSalesLine(FILE* in, LineBuffer& line) {
  line.fill('\0');
  SalesLine r;
  int c = 0;
  while (r.len < LINE_MAX_READ && (c = std::getc(in)) != EOF) {
    line[r.len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (r.len == LINE_MAX_READ && line[r.len - 1] != '\n') {
    // Drop the rest of an over-long line up to its line end; the line end itself
    // (LF, or CR LF) is no content.
    while ((c = std::getc(in)) != EOF && c != '\n') {
      if (c != '\r') r.truncated = true;
    }
  }
  if (std::ferror(in)) {
    r.result = LineRead::Error;
  } else {
    r.result = r.len > 0 ? LineRead::Line : LineRead::End;
  }
  return r;
}

std::size_t widenShortForm(LineBuffer& line, std::size_t len) {
  if (len < SHORT_FORM_MIN || len > SHORT_FORM_MAX) return len;
  // Codes whose short form is a 27-character text keep it in place.
  static constexpr const char* longText[] = {"71", "08", "04", "81", "83"};
  std::size_t p = 18;
  for (const char* code : longText)
    if (line[0] == code[0] && line[1] == code[1]) p = 29;
  std::memmove(line.data() + p + SHORT_FORM_PAD, line.data() + p, len - p);
  std::memset(line.data() + p, ' ', SHORT_FORM_PAD);
  return len + SHORT_FORM_PAD;
}

bool fiscalReportName(const char* salesFile, char* out, std::size_t outSize) {
  const char* slash = std::strrchr(salesFile, '/');
  const char* base = slash ? slash + 1 : salesFile;
  const char* dot = std::strchr(base, '.');
  const std::size_t keep = dot ? static_cast<std::size_t>(dot - salesFile) : std::strlen(salesFile);
  const int n = std::snprintf(out, outSize, "%.*s.fis", static_cast<int>(keep), salesFile);
  return n >= 0 && static_cast<std::size_t>(n) < outSize &&
         static_cast<std::size_t>(n) <= NAME_MAX_LEN;
}

bool isFiscalRecord(const LineBuffer& line) {
  static constexpr const char* codes[] = {"12", "13", "23", "24"};
  for (const char* code : codes)
    if (line[0] == code[0] && line[1] == code[1]) return true;
  return false;
}

void cassardMain(int argc, char** argv) {
  mode = 0;
  for (const char* text : BANNER) std::fputs(text, stdout);

  const char* speedstring = argc >= 4 ? argv[3] : DEFAULT_LINE_SETTINGS;
  const char* device = argc >= 3 ? argv[2] : DEFAULT_DEVICE;
  if (std::strlen(speedstring) > SPEED_TEXT_MAX) FatalError(SERIAL_OPEN_ERROR_TEXT, -1);
  TProtocol(false, device, speedstring);
  const int com1 = OpenPort();
  if (com1 < 0) FatalError(SERIAL_OPEN_ERROR_TEXT, -1);

  const char* filenamei = argc >= 2 ? argv[1] : DEFAULT_SALES_FILE;
  if (std::strlen(filenamei) > NAME_MAX_LEN) FatalError(INPUT_OPEN_ERROR_TEXT, -1);
  salesFile = std::fopen(filenamei, "r");
  if (!salesFile) FatalError(INPUT_OPEN_ERROR_TEXT, -1);

  fileo = nullptr;
  LoadCfgModel(0);

  LineBuffer line{};
  for (;;) {
    const SalesLine read = readSalesLine(salesFile, line);
    if (read.result == LineRead::Error) FatalError(INPUT_READ_ERROR_TEXT, -1);
    if (read.result == LineRead::End) break;
    widenShortForm(line, read.len);
    LastCommand(line.data());
    if (read.truncated) ErrorHandle(LONG_LINE_TEXT, 0);
    if (isFiscalRecord(line)) createFiscalReport(filenamei);
    TranslateRecord(line);
  }

  if (mode != 0) LoadCfg(mode);
  if (fileo) {
    FILE* report = fileo;
    fileo = nullptr;
    if (std::fclose(report) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
  }
  static constexpr uint8_t closing = 0x00;
  txemulaz(&closing, 1, 'H');

  std::fputs(FINAL_TEXT, stdout);
  LogMessage("\nExit code 0\n");
  CloseLog();
  std::fflush(stdout);
  portExit(0);
}

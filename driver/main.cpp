// Start-up, the main loop over the sales file, and the end of the run.

#include "driver/main.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "driver/check.h"
#include "driver/records.h"
#include "ecrconf/ecrconf.h"
#include "protocol/port.h"
#include "protocol/process.h"
#include "protocol/protocol.h"

namespace {

// The banner goes out byte for byte; the è of "Qusta è" is Latin-1 0xE8.
constexpr const char* BANNER[] = {
    "\nDriver Registratori di cassa Molvex, versione 4.0.8 'HT'\n",
    "\nPer informazioni e/o copia dei sorgenti contattare:\n",
    "cassard-dev@example.org\n",
    "Qusta \xE8 una versione beta non va utilizzata in ambienti di produzione\n",
};

// The host developer's and the technician's two questions, answered without the
// banner and without touching the line.
constexpr const char* HELP_TEXT =
    "Usage: cassard [SALESFILE [DEVICE [SETTINGS]]]\n"
    "       cassard --check [SALESFILE]\n"
    "       cassard --status [DEVICE [SETTINGS]]\n"
    "       cassard [--status-before FILE] [--status-after FILE]\n"
    "               [SALESFILE [DEVICE [SETTINGS]]]\n"
    "       cassard --help | --version\n"
    "\n"
    "Operates an Italian fiscal cash register on a serial line. Every line of the\n"
    "sales file becomes register commands, delivered one by one over the\n"
    "acknowledged link. The first failure ends the run with a report appended to\n"
    "dumpMMDD.log in the working directory and a non-zero exit status.\n"
    "\n"
    "  SALESFILE  the sales file to read          (default CASSARD00.ECR)\n"
    "  DEVICE     the register's serial device    (default /dev/ca300)\n"
    "  SETTINGS   speed,parity,data bits,stop bits (default 38400,N,8,1)\n"
    "\n"
    "--check reads the sales file as a run would, without a register or a line,\n"
    "and prints one line per mistake found, FILE:LINE:COLUMN: message (columns\n"
    "from 1): an unknown record code, an amount or quantity that is not digits,\n"
    "a department, operator or count out of range, a line too short for its\n"
    "record or longer than 254 bytes, a control byte in a text that is sent, a\n"
    "text or download file name cut at 16 characters, a download file name that\n"
    "is empty or holds '/'. Exit status 0 when the file is clean, 1 with\n"
    "findings, 255 when it cannot be read.\n"
    "\n"
    "--status opens the line as a run does, reads the register's identity,\n"
    "receipt counter and open sale, changes nothing, and prints them as one JSON\n"
    "object: {\"model\",\"brand\",\"serial\",\"fiscalisedAt\",\"receiptNumber\",\"saleOpen\"}.\n"
    "--status-after FILE runs the sales file and, once its last line went through,\n"
    "writes that object into FILE, read on the line the run still holds.\n"
    "--status-before FILE writes it into FILE before the first line is sent, on the\n"
    "line the run then holds; when a sale is already open on the register nothing\n"
    "is sent and the run ends with exit status 98.\n"
    "\n"
    "The arguments are positional; only a first argument that is exactly --check,\n"
    "--status, --status-before, --status-after, --help or --version is an option.\n"
    "\n"
    "Exit status:\n"
    "    0  the whole sales file was processed\n"
    "    2  a command could not be delivered (ERR, or NACK/SKIP three times)\n"
    "    4  no answer while the register stayed in its critical state or stopped\n"
    "       answering the status request\n"
    "    8  a write to the line failed, or a sale step lacked operator or change\n"
    "   16  three damaged answer frames in a row\n"
    "   17  no answer frame after four waits\n"
    "   18  the register refused the command\n"
    "   21  wrong key position, a sale in progress, or keys pressed on the register\n"
    "   32  the register does not answer, or head lifted or paper out\n"
    "   98  a sale was already open before the first line (--status-before):\n"
    "       nothing was sent\n"
    "   99  a sale is still open at the end-of-sale record 99\n"
    "  129, 130, 143  SIGHUP, SIGINT, SIGTERM: the exchange in progress\n"
    "       finished, nothing more was sent\n"
    "  255  a file or the line cannot be opened, read or written; a register\n"
    "       cassard does not support; an answer shorter than asked for; a last\n"
    "       line cut short\n"
    "\n"
    "A failed run ends with one line on stderr:\n"
    "  cassard: FILE:LINE: DESCRIPTION (exit N)\n"
    "\n"
    "The sales-file format, the files written and the exit statuses in full:\n"
    "man cassard.\n";

constexpr const char* VERSION_TEXT = PACKAGE " " VERSION "\n";

constexpr const char* INPUT_OPEN_ERROR_TEXT = "Impossibile aprire il file di input\n";
constexpr const char* INPUT_READ_ERROR_TEXT = "Errore in lettura del file di input\n";
constexpr const char* LONG_LINE_TEXT = "Riga troppo lunga: parte eccedente ignorata";
constexpr const char* INCOMPLETE_LINE_TEXT = "Riga incompleta";
constexpr const char* FINAL_TEXT = "\nIl programma e stato terminato correttamente.\n\n";

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
  fileo = CreateOutputFile(name, "w+");
  if (!fileo) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  static constexpr char header[] = "[FISCALI]\n";
  WriteOutput(fileo, header, sizeof header - 1);
  FlushOutput(fileo);
  mode = 1;
  LoadCfgModel(1);
}

}  // namespace

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

std::size_t columnsRead(const LineBuffer& line, std::size_t len) {
  const RecordKind* kind = findRecord(line);
  if (!kind) return recvend::descr;  // the record code
  // Whole columns: a line cut after the first of two digits would read another number.
  if (kind->number != NumberUse::None) return recvend::crlf;
  if (kind->amount != AmountUse::None) return recvend::rep;
  if (kind->descr == DescrUse::Sent)
    return recvend::descr +
           static_cast<std::size_t>(std::clamp<int32_t>(MAX_DESC_LEN, 0, _DESC_LEN));
  if (kind->descr == DescrUse::Word) {
    // The first word, up to 16 characters: complete once a space ends it.
    constexpr std::size_t wordEnd = recvend::descr + SHORT_TEXT_LEN;
    for (std::size_t i = recvend::descr; i < std::min(len, wordEnd); ++i)
      if (line[i] == ' ') return i;
    return wordEnd;
  }
  return recvend::descr;
}

bool incompleteLastLine(const LineBuffer& line, std::size_t len) {
  if (len > 0 && line[len - 1] == '\n') return false;
  return len < columnsRead(line, len);
}

void cassardMain(int argc, char** argv) {
  // --status-before FILE and --status-after FILE go in front of a run's own arguments,
  // each at most once, in either order.
  const char* statusBefore = nullptr;
  const char* statusAfter = nullptr;
  while (argc >= 3) {
    if (!statusAfter && std::strcmp(argv[1], "--status-after") == 0) {
      statusAfter = argv[2];
    } else if (!statusBefore && std::strcmp(argv[1], "--status-before") == 0) {
      statusBefore = argv[2];
    } else {
      break;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) portExit(checkMain(argc, argv));
  if (argc >= 2) {
    const char* text = std::strcmp(argv[1], "--help") == 0      ? HELP_TEXT
                       : std::strcmp(argv[1], "--version") == 0 ? VERSION_TEXT
                                                                : nullptr;
    if (text) {
      std::fputs(text, stdout);
      portExit(std::fflush(stdout) == 0 ? 0 : -1);
    }
  }
  if (argc >= 2 && std::strcmp(argv[1], "--status") == 0) cassardStatus(argc, argv);
  mode = 0;
  const char* filenamei = argc >= 2 ? argv[1] : DEFAULT_SALES_FILE;
  SetRunFile(filenamei);
  SetRunLine(0);
  for (const char* text : BANNER) std::fputs(text, stdout);

  OpenRegisterLine(argc, argv);

  if (std::strlen(filenamei) > NAME_MAX_LEN) FatalError(INPUT_OPEN_ERROR_TEXT, -1);
  salesFile = std::fopen(filenamei, "r");
  if (!salesFile) FatalError(INPUT_OPEN_ERROR_TEXT, -1);

  fileo = nullptr;
  LoadCfgModel(0);
  if (statusBefore) WriteStatusBefore(statusBefore);

  LineBuffer line{};
  for (long number = 1;; ++number) {
    StopIfSignalled();
    const SalesLine read = readSalesLine(salesFile, line);
    if (read.result == LineRead::Error) {
      // A read a signal cut short is that signal's.
      StopIfSignalled();
      FatalError(INPUT_READ_ERROR_TEXT, -1);
    }
    if (read.result == LineRead::End) break;
    SetRunLine(number);
    const std::size_t len = widenShortForm(line, read.len);
    LastCommand(line.data());
    if (read.truncated) ErrorHandle(LONG_LINE_TEXT, 0);
    // The last line of a file still being written, or cut, is not guessed at.
    if (incompleteLastLine(line, len)) FatalError(INCOMPLETE_LINE_TEXT, -1);
    if (isFiscalRecord(line)) createFiscalReport(filenamei);
    TranslateRecord(line);
    MarkRunLineDone();
  }

  if (mode != 0) LoadCfg(mode);
  if (fileo) {
    FILE* report = fileo;
    fileo = nullptr;
    if (std::fclose(report) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
  }
  if (statusAfter) WriteStatusFile(statusAfter);
  static constexpr uint8_t closing = 0x00;
  txemulaz(&closing, 1, 'H');

  ReportOmittedWarnings();
  std::fputs(FINAL_TEXT, stdout);
  LogMessage("\nExit code 0\n");
  CloseLog();
  std::fflush(stdout);
  portExit(0);
}

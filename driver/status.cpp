// cassard --status: the register's identity, receipt counter and open sale, read
// without changing anything on it, as one JSON object on stdout.

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/main.h"
#include "driver/records.h"
#include "ecrconf/ecrconf.h"
#include "protocol/port.h"
#include "protocol/process.h"
#include "protocol/protocol.h"

namespace {

constexpr const char* SALE_ALREADY_OPEN_TEXT = "Transazione gia aperta: nessuna riga inviata";

// Register bytes as a JSON string: the register's characters are Latin-1, and a Latin-1
// byte is the Unicode code point of the same value.
void appendJsonString(std::string& out, const char* text, std::size_t maxLen) {
  out.push_back('"');
  const std::size_t n = strnlen(text, maxLen);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  out.push_back('"');
}

void field(std::string& out, const char* name, const char* text, std::size_t maxLen) {
  out += out.size() > 1 ? ",\"" : "\"";
  out += name;
  out += "\":";
  appendJsonString(out, text, maxLen);
}

}  // namespace

std::string statusJson() {
  std::string out = "{";
  field(out, "model", EcrConf.szModel, sizeof EcrConf.szModel - 1);
  const char brand[2] = {EcrConf.cCodMarca, 0};
  field(out, "brand", brand, 1);
  field(out, "serial", EcrConf.szMatr, sizeof EcrConf.szMatr - 1);
  // szData is yy-mm-dd, szOra hh:mm:ss; the register keeps a two-digit year.
  char at[32];
  std::snprintf(at, sizeof at, "20%.8sT%.8s", EcrConf.szData, EcrConf.szOra);
  field(out, "fiscalisedAt", at, sizeof at);
  field(out, "receiptNumber", EcrConf.szNScontrino, sizeof EcrConf.szNScontrino - 1);
  out += ",\"saleOpen\":";
  out += TransactionOpened ? "true" : "false";
  out += "}\n";
  return out;
}

void cassardStatus(int argc, char** argv) {
  // stdout carries the JSON or a failure's message, nothing else: the warning of a
  // hiccup on the line that the exchange got over goes to stderr.
  SetWarningStream(stderr);
  OpenRegisterLine(argc, argv);
  fileo = nullptr;
  LoadReceiptCounter();
  // 'S' alone answers whether a sale is open, asked as the end-of-sale record asks it:
  // an answer without the sale's state is never read as "no sale open".
  ReadSaleState();

  const std::string json = statusJson();
  std::fputs(json.c_str(), stdout);
  portExit(std::fflush(stdout) == 0 ? 0 : -1);
}

void WriteStatusFile(const char* name) {
  // The run identified the register at its start and has held the line since: nothing
  // else can have moved the counter in between, so only the counter and 'S' are asked.
  // 'S' not even that when it was the last command (the end-of-sale record 99 asks it):
  // the counter's memory reads change nothing on the register.
  const bool saleStateCurrent = SaleStateReadAt != 0 && SaleStateReadAt == CommandsSent;
  ReadReceiptCounter();
  if (!saleStateCurrent) ReadSaleState();
  const std::string json = statusJson();
  FILE* f = CreateOutputFile(name, "w");
  if (!f) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  WriteOutput(f, json.data(), json.size());
  if (std::fclose(f) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
}

void WriteStatusBefore(const char* name) {
  // The file is whole before the first line goes out: a host that finds it knows the
  // reading came first, and one that does not knows no line was sent.
  WriteStatusFile(name);
  // A sale a person opened on the register would take this run's lines into it: the
  // register stays as it is, and the host decides.
  if (TransactionOpened) {
    LogMessage("\nExit code     98\n");
    CloseLog();
    ErrorHandle(SALE_ALREADY_OPEN_TEXT, SALE_ALREADY_OPEN);
  }
}

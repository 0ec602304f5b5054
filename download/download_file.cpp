// What every download shares: the file, the bracketing commands, the progress.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "protocol/process.h"
#include "protocol/protocol.h"

DownloadName DownloadFileName(const char* FileName) {
  DownloadName nomeFile{};
  for (std::size_t i = 0; i < DOWNLOAD_NAME_MAX; ++i) {
    const char c = FileName[i];
    // A short sales line ends in CR LF (or its zero fill) inside the column.
    if (c == '-' || c == '\0' || c == '\r' || c == '\n') break;
    nomeFile[i] = c;
  }
  return nomeFile;
}

bool PlainFileName(const char* name) {
  // A file of the working directory: no path, and not the directory itself or its parent.
  return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

DownloadFile OpenDownloadFile(const char* FileName, bool truncate) {
  const DownloadName nomeFile = DownloadFileName(FileName);
  if (!PlainFileName(nomeFile.data())) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  DownloadFile file(CreateOutputFile(nomeFile.data(), truncate ? "w" : "a"));
  if (!file) FatalError(OUTPUT_OPEN_ERROR_TEXT, -1);
  return file;
}

void CloseDownloadFile(DownloadFile file) {
  // The last lines are still buffered: a full disk shows up only here.
  if (std::fclose(file.release()) != 0) FatalError(OUTPUT_WRITE_ERROR_TEXT, -1);
}

std::span<const uint8_t> DownloadRequest(std::span<const uint8_t> psTx, AnswerBuffer& psRx,
                                         long need) {
  long pRxLen = 0;
  long pStatus = 0;
  const long result =
      DirectIO(psTx.data(), static_cast<long>(psTx.size()), psRx, &pRxLen, &pStatus);
  // On failure psRx holds the link's message, terminated.
  if (result != 0) FatalError(reinterpret_cast<const char*>(psRx.data()), static_cast<int>(result));
  RequireAnswerLen(pRxLen, need);
  return std::span<const uint8_t>(psRx).first(
      static_cast<std::size_t>(std::clamp<long>(pRxLen, 0, static_cast<long>(psRx.size()))));
}

void SendDownloadOpening() {
  const uint8_t open = 0x01;
  txemulaz(&open, 1, 'H');
}

void SendDownloadClosing() {
  const uint8_t close = 0x00;
  txemulaz(&close, 1, 'H');
}

void PrintDownloadHeader(const char* text) {
  // Clears the operator's screen before the download's own message.
  for (int i = 0; i < 40; ++i) std::fputc('\n', stdout);
  std::fputs(text, stdout);
}

void PrintProgressDot() {
  std::fputc('.', stdout);
  std::fflush(nullptr);
}

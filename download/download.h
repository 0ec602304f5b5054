// Journal and totals downloads from the register into host files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "protocol/protocol.h"

inline constexpr std::size_t FILE_ROW_LEN = 512;
using FileRow = std::array<char, FILE_ROW_LEN>;

// A journal answer holds at most 200 bytes: the state byte and a record of up to 199.
inline constexpr std::size_t MAX_JOURNAL_RECORD = 199;

// Hex line: each byte as two upper-case hex digits, then a line feed and a
// terminator. Returns the line length without the terminator.
std::size_t Dimpacc(FileRow& sDest, std::span<const uint8_t> sIn);

// Formatted journal line: type label, '|'-separated fields, line feed, terminator.
// Returns the line length without the terminator. Pure: no I/O, no globals.
std::size_t ParseB2Mode(FileRow& sDest, std::span<const uint8_t> sIn);

// Record 55: the expansion journal, hex or formatted.
void DoDownloadExp(const char* FileName, const char* Mode);
// Record 60: identification, department and general totals from register memory.
void DoDownloadInt(const char* FileName, const char* Mode);
// Record 54: the 33 expansion total records as hex lines.
void DoReadTotalsExp(const char* FileName, const char* Mode);
// Record 53: clears the expansion totals.
void DoClearTotalsExp();

// ---------------------------------------------------------------- shared by the downloads

// Builds one download line in a FileRow. Room for the line feed and the terminator
// is always kept, so a line can never run past the buffer; the downloads size their
// fields so that no line comes near that limit.
struct RowWriter {
  FileRow& row;
  std::size_t len = 0;

  void put(char c);
  void text(std::span<const uint8_t> bytes);  // bytes as they are
  void hex(std::span<const uint8_t> bytes);   // two upper-case hex digits per byte
  void hexField(std::span<const uint8_t> bytes) { hex(bytes), put('|'); }
  std::size_t finish();  // line feed and terminator; the length without the terminator
};

// The download file's name: the description column up to the first '-', a line end
// or a terminator, at most 16 characters, spaces kept.
inline constexpr std::size_t DOWNLOAD_NAME_MAX = 16;
using DownloadName = std::array<char, DOWNLOAD_NAME_MAX + 1>;
DownloadName DownloadFileName(const char* FileName);

// A download name is a plain name in the working directory: not empty, no '/', not
// "." or "..".
bool PlainFileName(const char* name);

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using DownloadFile = std::unique_ptr<FILE, FileCloser>;

// Opens the download file ("w" when truncate, else "a"); a name that is not plain, a
// symbolic link or anything but a regular file at that name, or a failed open ends
// the run before anything is sent to the register.
DownloadFile OpenDownloadFile(const char* FileName, bool truncate);
// Closes it, ending the run when the last buffered lines cannot be written.
void CloseDownloadFile(DownloadFile file);

// One request of a download: ends the run when the transaction fails (with the
// link's text and code) or when the answer brings fewer than `need` bytes; returns
// the answer bytes received, never more.
std::span<const uint8_t> DownloadRequest(std::span<const uint8_t> psTx, AnswerBuffer& psRx,
                                         long need);

// The opening and closing commands that bracket every download ('H' 1, 'H' 0).
void SendDownloadOpening();
void SendDownloadClosing();

// 40 line feeds and the routine's text, then the dots as the download proceeds.
void PrintDownloadHeader(const char* text);
void PrintProgressDot();

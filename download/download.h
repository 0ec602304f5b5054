// Journal and totals downloads from the register into host files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t FILE_ROW_LEN = 512;
using FileRow = std::array<char, FILE_ROW_LEN>;

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

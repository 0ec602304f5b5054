// The sales file: its line layout, and reading it line by line as a run and --check both
// do (the same bytes, the same widening of short-form lines).
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>

// Columns of a sales line (counted from 0):
//
//   0         1         2         3         4
//   0123456789012345678901234567890123456789012345678
//   ccdddddddddddddddddddddddddddddddddddpppppppppnn\r\n
//
//   cc  tipo    record code
//   d   descr   description column, 35 characters
//   p   prezzo  amount or quantity column, 9 characters
//   n   rep     number column, 2 characters
namespace recvend {
inline constexpr std::size_t tipo = 0;
inline constexpr std::size_t descr = 2;
inline constexpr std::size_t prezzo = 37;
inline constexpr std::size_t rep = 46;
inline constexpr std::size_t crlf = 48;
}  // namespace recvend

// A line read takes at most 254 characters; the buffer is cleared before each read,
// so columns past a short line read as zero bytes.
inline constexpr std::size_t LINE_BUF_LEN = 255;
using LineBuffer = std::array<char, LINE_BUF_LEN>;

inline constexpr std::size_t NAME_MAX_LEN = 254;

inline constexpr const char* DEFAULT_SALES_FILE = "CASSARD00.ECR";

enum class LineRead { Line, End, Error };
struct SalesLine {
  LineRead result = LineRead::End;
  std::size_t len = 0;     // characters read, line end included
  bool truncated = false;  // characters past the 254th were dropped
};
// Reads one line of at most 254 characters into the cleared buffer; the rest of a
// longer line is dropped up to its line end.
SalesLine readSalesLine(FILE* in, LineBuffer& line);

// Widens a short-form line (29 to 33 characters) to the standard columns; returns
// the new length.
std::size_t widenShortForm(LineBuffer& line, std::size_t len);
// Where a short-form line gets its SHORT_FORM_PAD spaces: column 18, or 29 for the
// codes whose short form is a 27-character text.
inline constexpr std::size_t SHORT_FORM_PAD = 19;
std::size_t shortFormCut(const LineBuffer& line);

// The sales file and the run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

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
inline constexpr const char* DEFAULT_DEVICE = "/dev/ca300";
inline constexpr const char* DEFAULT_LINE_SETTINGS = "38400,N,8,1";

// The whole run: banner, line, sales file, main loop, end of run. Ends the process.
[[noreturn]] void cassardMain(int argc, char** argv);

// cassard --status [DEVICE [SETTINGS]]: opens and locks the line as a run does, sends
// only reads (identification, the receipt counter's memory reads, 'S' alone) and prints
// statusJson(). Failures end as a run's do. Ends the process.
[[noreturn]] void cassardStatus(int argc, char** argv);
// {"model","brand","serial","fiscalisedAt","receiptNumber","saleOpen"} from EcrConf and
// TransactionOpened, one line.
std::string statusJson();
// cassard --status-after FILE SALESFILE [DEVICE [SETTINGS]]: a run, and once its last line
// went through, the same reads as --status on the line the run still holds, into FILE.
void WriteStatusFile(const char* name);
// --status-before FILE: the same reads once the run identified the register and before
// its first line, into FILE; with a sale open on the register the run ends there, with
// SALE_ALREADY_OPEN, having sent no line.
void WriteStatusBefore(const char* name);
inline constexpr int SALE_ALREADY_OPEN = 98;

// ---- the pieces of the main loop, for the tests

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

// The fiscal report name: the sales-file name cut at the first '.' of its last
// path component, then ".fis". False when it would not fit.
bool fiscalReportName(const char* salesFile, char* out, std::size_t outSize);

// Characters (line end not counted) a line needs for every column its record code
// reads to come from the line itself.
std::size_t columnsRead(const LineBuffer& line, std::size_t len);
// A line without its line end that is too short for the columns its code reads: the
// last line of a file still being written, or cut.
bool incompleteLastLine(const LineBuffer& line, std::size_t len);

// True for the record codes that ask for the fiscal report.
bool isFiscalRecord(const LineBuffer& line);

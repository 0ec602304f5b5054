// The run: start-up, the main loop, the end of run, --status.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "driver/sales_file.h"

inline constexpr const char* DEFAULT_DEVICE = "/dev/ca300";
inline constexpr const char* DEFAULT_LINE_SETTINGS = "38400,N,8,1";

// The whole run: banner, line, sales file, main loop, end of run. Ends the process.
[[noreturn]] void cassardMain(int argc, char** argv);

// Opens, locks and configures the line named by argv[2] (DEFAULT_DEVICE when absent) with
// the settings of argv[3] (DEFAULT_LINE_SETTINGS), as a run and --status both do; a line
// that cannot be opened ends the process with exit status 255.
void OpenRegisterLine(int argc, char** argv);

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

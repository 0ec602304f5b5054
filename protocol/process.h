// The process around the link: where the run is in the sales file, the one stderr
// line of a failed run, the files the run creates, and the signals that end a run.
#pragma once

#include <cstddef>
#include <cstdio>

// ---------------------------------------------------------------- where the run is

// The sales file named in the failure line; null for a run of no sales file (a status
// query), which writes no failure line.
void SetRunFile(const char* name);
// The sales line about to be acted on (1 for the first); 0 before the first.
void SetRunLine(long number);
long RunLine();
// Every command of the current line went through.
void MarkRunLineDone();

// The stderr line a failed run ends with, for the host:
//   cassard: FILE:LINE: DESCRIPTION (exit N)
// with the description on one line (its line ends and control bytes as spaces,
// trailing ones dropped) and N the exit status the host sees (-1 is 255).
// Returns the length written into out (cut to fit, line end kept), or 0 when n < 2.
std::size_t FormatFailureLine(const char* file, long line, const char* description, int code,
                              char* out, std::size_t n);
// Flushes stdout, then writes that line for the current run to stderr.
void WriteFailureLine(const char* description, int code);

// ---------------------------------------------------------------- files the run creates

// fopen with mode "w", "w+" or "a", but never through a symbolic link and only onto a
// regular file (a FIFO or a device at that name would hang or misdirect the run).
// Null with errno set when refused or when the file cannot be opened.
FILE* CreateOutputFile(const char* name, const char* mode);

// ---------------------------------------------------------------- signals

// SIGTERM, SIGINT and SIGHUP are noted, not obeyed at once: the exchange with the
// register in progress finishes, then the run stops before anything more is sent.
// SIGPIPE is ignored: a closed console never ends a run mid-receipt.
void InstallSignalHandlers();
// What a handler does: the first signal is noted; a second one while the run is
// finishing ends the process at once with 128 + its number.
void NoteSignal(int signo);
// The noted signal, 0 when none.
int PendingSignal();
// Forgets a noted signal (for the tests).
void ClearPendingSignal();
// The dump report's description of a stop for `signo`: the signal, and how far the
// current line got (whole, in part, not at all) with `lastCommand`, the last command
// sent. Returns its length; `out` is always terminated.
std::size_t DescribeSignalStop(int signo, const char* lastCommand, char* out, std::size_t n);
// One more command of the current line went to the register.
void CountLineCommand();

// Descriptors 0, 1 and 2 closed at start are opened on /dev/null, so the serial line
// or a file the run creates can never take their place. False when that fails.
bool GuardStandardDescriptors();

// A cassard run as a child process: started in the job's directory, waited for with a
// bound, and what it left there read back (console, failure line, dump log, files).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "service/store.h"

namespace cassardd {

// The files a run of cassard leaves in its directory, beside the downloads it wrote.
inline constexpr const char* kSalesFile = "sales.ECR";
inline constexpr const char* kConsoleFile = "console.txt";
inline constexpr const char* kStderrFile = "stderr.txt";
inline constexpr const char* kStatusFile = "status.json";  // the register as the run left it
// A job's run works in this folder of the job's directory: whatever name a download
// gives its file, it lands there, beside the others, and never on the files above that
// the service reads. cassard is told the sales and status files as "../NAME".
inline constexpr const char* kFilesDir = "files";
// cassard writes a fiscal report beside its sales file, named after it; the service puts
// it among the job's files once the run has ended.
inline constexpr const char* kFiscalFile = "sales.fis";
// The register as the run found it, read on its line before its first line.
inline constexpr const char* kStatusBeforeFile = "status-before.json";
inline constexpr std::size_t kMaxText = 1 << 20;  // of a console or dump log kept with a job
inline constexpr const char* kFinalText = "Il programma e stato terminato correttamente.";

// A child process's end, read after it ended.
struct ChildEnd {
  std::optional<int> exitStatus;  // empty when it was left running (the service stops now)
  bool timedOut = false;
  std::string spawnError;  // the child could not be started
};

// Runs `argv` in `cwd` (`dir` when empty; its own process group, stdin /dev/null, stdout
// and stderr into console.txt and stderr.txt in `dir`) and waits for it, at most `limit`:
// then SIGTERM to its group, SIGKILL 3 s later. Stops waiting when `abandon` becomes true.
ChildEnd runChild(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                  std::chrono::seconds limit, const std::atomic<bool>& abandon,
                  const std::filesystem::path& cwd = {});

// Where a job's own files are: its files folder, or the job's directory itself for a job
// run before jobs had one.
std::filesystem::path jobFilesDir(const std::filesystem::path& jobDir);

// cassard's failure line on stderr: "cassard: FILE:LINE: DESCRIPTION (exit N)".
struct FailureLine {
  int line = 0;
  std::string description;
};
std::optional<FailureLine> parseFailureLine(const std::string& stderrText);
// The exit status a run left in its directory when its end was not seen: the "(exit N)"
// of its failure line, or 0 when its console says it ended correctly; empty otherwise.
std::optional<int> exitStatusLeft(const std::filesystem::path& dir);

// The sales line a run was acting on when it last wrote its dump log ("Ultimo comando: "
// and the line), counted from 1 in `salesFile`: how far a run stopped without its failure
// line (killed at its time limit) is known to have gone. The first line of that text when
// the file has it more than once; empty when the log names no line of the file.
std::optional<int> lastCommandLine(const std::string& dumpLog, const std::string& salesFile);

// Processes whose working directory is `dir`: runs a previous start of the service left.
std::vector<int> processesIn(const std::filesystem::path& dir);

// At most `max` bytes of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& p, std::size_t max = kMaxText);

// Why a status read gave no status, for the register's card.
std::string whyUnread(const std::filesystem::path& dir, const ChildEnd& end,
                      std::chrono::seconds limit);

// What kept a run from reading the register, as a code for a page to choose its words:
// "device_missing", "permission_denied", "line_locked", "no_answer" or "other", from what
// cassard said on stderr and how it ended.
std::string unreadCode(const std::string& stderrText, const ChildEnd& end);

// What a run left in `dir`: its console, failure line, meaning, dump log and the files it
// wrote (in jobFilesDir(dir)). `limitS` is the run's time limit, named when it was reached.
RunResult collectRun(const std::filesystem::path& dir, const ChildEnd& end, int limitS);

}  // namespace cassardd

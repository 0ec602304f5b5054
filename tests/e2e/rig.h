// The end-to-end rig: the real cassard against the real ecrsim on a real pty.
//
//   rig::Rig rig("default.json", {"--fault", "nack=2@1"});   // ecrsim is up and ready
//   rig::Run run = rig.cassard(sales::line("03", "", "", "05") + sales::line("99"));
//   EXPECT_EQ(run.status, 0) << run.console;
//   EXPECT_EQ(rig.commands(), (std::vector<std::string>{"54", "4100", "4100053", ...}));
//
// Each Rig owns a fresh temporary directory. It starts ecrsim there with the profile
// (a file name under tests/data/profiles, or a path) and the extra options given,
// publishing the line as <dir>/ecr, and waits for ecrsim's ready line on its stdout
// (no sleeping and hoping). cassard runs with that directory as its working directory,
// so the fiscal report file, the download files and the dump log land there.
//
//   cassard(sales, timeout)   writes the sales file (default name vendite.ECR), runs
//                             `cassard <sales file> <dir>/ecr` and returns its exit
//                             status and console (stdout and stderr together).
//   cassardArgs(args, timeout) runs cassard with exactly these arguments.
//   cassardApart(args, as)    the same, with stdout in console and stderr in errors,
//                             optionally as another user (uid and gid, no other groups).
//   record()                  every line ecrsim's --record wrote so far: a frame
//                             received per line, in hex; "BAD ", "NACK ", "REP ", ...
//                             prefixes mark frames it did not execute.
//   commands()                the executed commands only, without the link's 'I' requests.
//   roll(), file(name), exists(name), dumpLog(), ecrsimErrors()
//   start(args, closed)       cassard in the background, stdout and stderr apart, with the
//                             descriptors listed closed (kBrokenConsole: stdout a pipe
//                             nobody reads); finish(pid, timeout) waits for it as cassardApart.
//   todaysDumpLog()           the name cassard gives today's dump log.
//   control(command)          one command on ecrsim's control socket (<dir>/ctl) and
//                             its one-line JSON answer; "" when none came in 5 s.
//   stop()                    SIGTERM to ecrsim by its pid; returns its exit status.
//                             The destructor stops it too and removes the directory,
//                             unless the test failed (the path is printed then).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/sales_line.h"

inline bool contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

namespace rig {

struct Run {
  int status = -1;        // exit status; -1 when it did not exit normally
  bool timedOut = false;  // killed after the timeout
  std::string console;    // stdout and stderr, as bytes
  std::string errors;     // stderr, when cassardApart kept it apart
};

// In start()'s closed list: stdout a pipe whose reader is gone.
constexpr int kBrokenConsole = -1;

std::string todaysDumpLog();
std::string slurp(const std::filesystem::path& path);  // a whole file; "" when missing

struct Identity {
  uid_t uid;
  gid_t gid;
};

class Rig {
 public:
  explicit Rig(const std::string& profile = "default.json",
               std::vector<std::string> ecrsimArgs = {});
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::string link() const { return (dir_ / "ecr").string(); }

  Run cassard(const std::string& sales,
              std::chrono::milliseconds timeout = std::chrono::seconds(60),
              const std::string& salesName = "vendite.ECR");
  Run cassardArgs(const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));

  Run cassardApart(const std::vector<std::string>& args, const Identity* as = nullptr,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));

  pid_t start(const std::vector<std::string>& args, std::initializer_list<int> closed = {});
  Run finish(pid_t pid, std::chrono::milliseconds timeout);

  std::vector<std::string> record() const;
  std::vector<std::string> commands() const;
  std::string roll() const { return file("roll.txt"); }
  std::string file(const std::string& name) const;  // "" when missing
  bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
  std::string dumpLog() const;  // every dump*.log, concatenated
  std::string ecrsimErrors() const { return file("ecrsim.err"); }
  std::string control(const std::string& command) const;
  int stop();

 private:
  pid_t spawn(const std::vector<std::string>& args, bool apart, const Identity* as,
              std::initializer_list<int> closed);
  Run wait(pid_t pid, bool apart, std::chrono::milliseconds timeout);

  std::filesystem::path dir_;
  pid_t ecrsim_ = -1;
  int ecrsimStatus_ = -1;
};

}  // namespace rig

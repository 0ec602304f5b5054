// ecrsim's front end: the pseudo-terminal the hosts open, the control socket, and the one
// loop that serves both, writing the register's answers when they are due.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "simulator/model.h"

namespace ecrsim {

// Blocks SIGTERM and SIGINT and installs their handler: they are let through only inside
// the loop's wait, so a stop request is never lost between the check and the wait.
// Returns the mask to wait with.
sigset_t blockStopSignals();

// The line: the master side of a pty, its slave published at the link, and the slave's
// open and close events.
struct Line {
  int master = -1;
  int closes = -1;
  std::string slave;
  bool hostPresent = false;  // a host has sent something since it opened the line
  bool idle = true;          // the last read found nobody on the line
};

// Something the register writes, after its pause: held in a queue so that the loop never
// sleeps and the control socket is answered while an answer waits.
struct Pending {
  Chunk chunk;
  bool started = false;  // its pause began
  bool first = false;    // the first of what one read of the host's bytes brought
  bool onWire = false;   // its first byte is on its way
  timespec due{};        // when the pause ends
  std::size_t sent = 0;
};

// One client of the control socket.
struct Client {
  int fd = -1;
  std::string in, out;
  bool discarding = false;  // the rest of an over-long command
  bool eof = false;         // it wrote all it will: answer, then close
};

class Frontend {
 public:
  struct Options {
    std::string link;
    std::string controlPath;  // empty: no control socket
    bool trace = false;
    long paceBaud = 0;  // 0: every answer written at once
    FILE* roll = stdout;
  };

  Frontend(Register& reg, Options options);
  Frontend(const Frontend&) = delete;
  Frontend& operator=(const Frontend&) = delete;

  // The control socket (when asked for), then the line. False with the reason and the
  // exit status (2 for a path that is not ecrsim's to take, 1 when the pty cannot be made).
  bool open(std::string& error, int& status);
  const std::string& slave() const { return line_.slave; }

  // Serves hosts and control clients until SIGTERM or SIGINT, or until the line vanishes
  // without a control socket; then closes what it opened. Returns the exit status.
  int run(const sigset_t& waitMask);

 private:
  // When the loop must look again, at the latest.
  struct Wake {
    bool at = false;
    timespec when{};
    bool writable = false;  // the line's buffer was full
  };

  // The loop's steps, in order.
  Wake writeDue();
  bool writeBytes(Pending& p, Wake& wake);
  bool waitForWork(const Wake& wake, const sigset_t& waitMask);
  void acceptClients();
  void serveClients();
  void readHost();

  bool serveClient(Client& c);
  void answer(Client& c, const std::string& command);
  void noticeCloses();
  void hostGone();
  void unplug();
  bool hostHolds() const;
  void rollText(const std::string& text);
  void shutdown();

  Register& reg_;
  Options o_;
  Line line_;
  int controlFd_ = -1;
  dev_t controlDev_ = 0;
  ino_t controlIno_ = 0;
  long nsPerByte_ = 0;
  timespec lineFree_{};
  timespec scheduled_{};  // when the last answer written was due
  std::deque<Pending> queue_;
  std::vector<Client> clients_;
  std::vector<pollfd> fds_;
  bool controlReady_ = false;
  bool running_ = true;
};

}  // namespace ecrsim

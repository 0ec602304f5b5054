// What the service tests and the service bench share, with no test framework in it:
// starting a program that says it is ready on its first line, and the loads that measure
// what a till gets from cassardd beside other clients.
//
//   auto p = svc::launch({CASSARDD_BIN, "--config", cfg}, "cassardd.log");
//   int port = svc::readyPort(p.line);          // 0: not cassardd's ready line
//   svc::Figures f = svc::postsUnderReaders(port, 8, 200, "till");
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace svc {

struct Launched {
  pid_t pid = -1;
  std::string line;  // its first line on stdout, "" when none came in time
};
// Starts argv[0] with stdout on a pipe and stderr to `errFile` (appended to, or emptied
// first); returns once its first line is in, or after `wait`. fileSizeLimit: its
// RLIMIT_FSIZE in bytes (0: none).
Launched launch(const std::vector<std::string>& argv, const std::string& errFile,
                bool append = true, long fileSizeLimit = 0,
                std::chrono::milliseconds wait = std::chrono::seconds(20));
// The port of "cassardd ready on http(s)://127.0.0.1:PORT"; 0 for any other line.
int readyPort(const std::string& line);

// A good client's requests: how many, how many failed (no answer, or not the status
// expected), and their latency in ms.
struct Figures {
  std::size_t requests = 0, failed = 0;
  double p50 = 0, p99 = 0, max = 0;
  double failedShare() const { return requests ? double(failed) / double(requests) : 1.0; }
  std::string text() const;
};

// `posts` receipts POSTed to cassa1 one after another (keys `tag`-N), each on a connection
// of its own, while `readers` clients read GET /v1/jobs?limit=500 and GET /v1/service in a
// loop; the POSTs' figures.
Figures postsUnderReaders(int port, int readers, int posts, const std::string& tag);

// `sockets` idle connections, each opened again as soon as the service closes it, for
// `length`; meanwhile a till GETs /v1/registers and every fifth time POSTs a receipt (keys
// `tag`-N), each on a connection of its own. The till's figures.
Figures tillUnderFlood(int port, int sockets, std::chrono::seconds length, const std::string& tag);

// cassardd's resident memory now, in KiB.
long residentKiB(pid_t pid);

}  // namespace svc

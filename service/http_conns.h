// The connections the HTTP server holds, as its guard sees them: which are waiting for their
// request and since when, which a handler has, and where each comes from. The guard decides
// who gets in, and whom the reaper shuts down:
//
//   - a client other than the loopback holds at most perAddress connections at once;
//   - at the cap, a new connection takes the place of the one that has waited longest for
//     its request (a till that connects is served; an idle socket gives way), and is refused
//     only when every connection has a request in hand;
//   - a connection whose request has not arrived within its bound is shut down.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace cassardd::http {

class ConnTable {
 public:
  using Clock = std::chrono::steady_clock;
  struct Policy {
    unsigned cap = 1024;       // connections open at once
    unsigned perAddress = 32;  // from one address other than the loopback
  };

  void setPolicy(const Policy& p) { policy_ = p; }
  // Whether a client at `addr` may connect now; at the cap, the longest-waiting idle
  // connection is shut down to make room.
  bool admit(const sockaddr* addr, socklen_t len);
  void opened(const void* conn, int fd, const sockaddr* addr);
  void closed(const void* conn);
  void busy(const void* conn);
  void idle(const void* conn);
  // Shuts down the connections that have waited for their request longer than `bound`
  // (`pressedBound` while more than `pressure` are open); how many are open.
  std::size_t reap(std::chrono::milliseconds bound, std::chrono::milliseconds pressedBound,
                   unsigned pressure);
  std::size_t size() const;
  void clear();

  // The address as text, and whether it is the loopback (127/8, ::1, ::ffff:127/104).
  static std::string addressOf(const sockaddr* addr);
  static bool isLoopback(const sockaddr* addr);

 private:
  struct Conn {
    int fd = -1;
    bool busy = false;
    bool shut = false;
    Clock::time_point since;
    std::string address;  // empty for the loopback, which is not counted per address
  };
  void shutLocked(Conn& c);

  Policy policy_;
  mutable std::mutex m_;
  // An entry goes at libmicrohttpd's "closed" notification, which comes before the socket
  // is closed, under the lock held while one is shut down: a descriptor number reused by a
  // newer connection is never touched.
  std::unordered_map<const void*, Conn> conns_;
  std::unordered_map<std::string, unsigned> perAddress_;
  std::size_t live_ = 0;  // open and not shut down
};

}  // namespace cassardd::http

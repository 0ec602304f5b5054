// The operating system: the only place that reads, writes, sleeps, reads the clock
// and ends the process.

#include "protocol/port.h"

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {
using std::chrono::steady_clock;
constexpr auto READ_INTERVAL = std::chrono::milliseconds(100);
// A line that takes no byte for this long while a write waits has stopped: a flow
// control that never lets go, or a device gone. What was written is reported.
constexpr auto WRITE_STALL = std::chrono::seconds(2);

int msLeft(steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One read(), EINTR retried: bytes, 0 at end of file, or -1 with errno.
ssize_t readOnce(int fd, uint8_t* buf, std::size_t n) {
  ssize_t got;
  while ((got = read(fd, buf, n)) < 0 && errno == EINTR) {
  }
  return got;
}
}  // namespace

long portRead(int fd, uint8_t* buf, std::size_t n) {
  // The line is non-blocking: the line's own read timeout is not relied on, since a
  // device that ignores it, or settings changed under us, would make read() wait for
  // ever. Most reads find bytes already there and cost one read() and nothing else;
  // only an empty line is waited on, with poll() bounding the wait.
  ssize_t got = readOnce(fd, buf, n);
  if (got > 0) return got;
  const auto start = steady_clock::now();
  const auto deadline = start + READ_INTERVAL;
  // Only an empty line is waited on; end of file or a failing line is not.
  bool empty = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  while (empty) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, msLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) break;
    got = readOnce(fd, buf, n);
    if (got > 0) return got;
    empty = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  // A line that fails or hangs up answers at once; keep the 0.1 s a silent
  // register costs, so every wait built on reads keeps its length.
  const auto spent = steady_clock::now() - start;
  if (spent < READ_INTERVAL) std::this_thread::sleep_for(READ_INTERVAL - spent);
  return 0;
}

long portWrite(int fd, const uint8_t* buf, std::size_t n) {
  std::size_t done = 0;
  auto stall = steady_clock::now() + WRITE_STALL;
  while (done < n) {
    const ssize_t w = write(fd, buf + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      stall = steady_clock::now() + WRITE_STALL;
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The line's output queue is full: wait for it to drain, but not for ever.
      pollfd p{fd, POLLOUT, 0};
      const int left = msLeft(stall);
      if (left == 0) break;
      if (poll(&p, 1, left) < 0 && errno != EINTR) break;
      continue;
    }
    break;
  }
  return static_cast<long>(done);
}

void portPause(unsigned micros) {
  // The pauses pace the register and are already as long as it needs: the kernel's
  // default timer slack (50 us) would only add to each of them.
  static const bool tightTimers = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)tightTimers;
  timespec left{static_cast<time_t>(micros / 1'000'000),
                static_cast<long>(micros % 1'000'000) * 1000};
  while (nanosleep(&left, &left) < 0 && errno == EINTR) {
  }
}

std::time_t portNow() {
  return std::time(nullptr);
}

std::uint64_t portMicros() {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(t).count());
}

void portExit(int code) {
  std::exit(code);
}

// The operating system: the only place that reads, writes, sleeps, reads the clock
// and ends the process.

#include "protocol/port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {
constexpr auto READ_INTERVAL = std::chrono::milliseconds(100);
}

long portRead(int fd, uint8_t* buf, std::size_t n) {
  using std::chrono::steady_clock;
  const auto start = steady_clock::now();
  const auto deadline = start + READ_INTERVAL;
  // The line's own read timeout is not relied on: a device that ignores it, or
  // settings changed under us, would make read() wait for ever. poll() bounds the
  // wait, and read() asks for no more than is there, so it cannot block either.
  ssize_t got = 0;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(p.revents & POLLIN)) break;
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) < 0 || queued <= 0) break;
    got = read(fd, buf, std::min(n, static_cast<std::size_t>(queued)));
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  if (got > 0) return got;
  // A line that fails or hangs up answers at once; keep the 0.1 s a silent
  // register costs, so every wait built on reads keeps its length.
  const auto spent = steady_clock::now() - start;
  if (spent < READ_INTERVAL) std::this_thread::sleep_for(READ_INTERVAL - spent);
  return 0;
}

long portWrite(int fd, const uint8_t* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, buf + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
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

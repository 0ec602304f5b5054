// ecrsim --pace: its bytes reach the host no faster than the line's speed allows,
// one by one, and unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "rig.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// At 1200 baud a byte is 10 bits: 8.33 ms, long enough to see through any scheduler.
constexpr double kByteMs = 10.0 * 1000.0 / 1200.0;

struct Arrival {
  Bytes bytes;
  std::vector<double> atMs;  // when each byte was read, from the send
};

Arrival exchange(int fd, const Bytes& send, std::size_t expect) {
  Arrival a;
  const auto t0 = Clock::now();
  EXPECT_EQ(write(fd, send.data(), send.size()), static_cast<ssize_t>(send.size()));
  pollfd p{fd, POLLIN, 0};
  while (a.bytes.size() < expect && poll(&p, 1, 3000) > 0) {
    uint8_t buf[64];
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    const double at = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    for (ssize_t i = 0; i < r; ++i) {
      a.bytes.push_back(buf[i]);
      a.atMs.push_back(at);
    }
  }
  return a;
}

TEST(EcrsimPace, BytesLeaveAtTheLineSpeedAndUnchanged) {
  rig::Rig rig("default.json", {"--pace", "1200"});
  const int fd = open(rig.link().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);

  const Arrival status = exchange(fd, {0x1e}, 1);
  EXPECT_EQ(status.bytes, Bytes{0x01});
  ASSERT_EQ(status.atMs.size(), 1u);
  EXPECT_GE(status.atMs[0], kByteMs * 0.95) << "a status byte takes one byte time";

  // The worked frame: ACK and the 13-byte answer frame, the same bytes as unpaced.
  const Bytes answer = {0x06, 0x10, 0x02, 0x01, 0, 0, 0, 0x53, 0, 0, 0, 0x10, 0x03, 0x51};
  const Arrival a =
      exchange(fd, {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47}, answer.size());
  EXPECT_EQ(a.bytes, answer);
  ASSERT_EQ(a.atMs.size(), answer.size());
  EXPECT_GE(a.atMs.back(), kByteMs * static_cast<double>(answer.size()) * 0.95);
  // Paced byte by byte, not held back and sent as one lump: the last byte comes
  // at least 13 byte times after the first.
  EXPECT_GE(a.atMs.back() - a.atMs.front(), kByteMs * 13 * 0.95);
  close(fd);
}

TEST(EcrsimPace, RefusesASpeedItCannotKeep) {
  for (const char* bad : {"0", "49", "fast", "9600x", "4000001"}) {
    SCOPED_TRACE(bad);
    const std::string cmd =
        std::string(ECRSIM_BIN) + " --link /tmp/ecrsim-never --pace " + bad + " 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("/tmp/ecrsim-never")));
}

}  // namespace

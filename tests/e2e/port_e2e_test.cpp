// The real port against pipes: every read and write ends in bounded time, whatever
// the other end does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "protocol/port.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    r = fds[0];
    w = fds[1];
  }
  ~Pipe() {
    if (r >= 0) close(r);
    if (w >= 0) close(w);
  }
};

TEST(Port, ReadsEndAtOnceWithBytesOrAfterATenthOfASecondWithout) {
  struct Row {
    const char* name;
    int waiting;      // bytes already in the pipe
    bool writerGone;  // end of file
    long want;
    double minS, maxS;
  } rows[] = {
      {"bytes waiting", 3, false, 3, 0.0, 0.05},
      {"silent line", 0, false, 0, 0.095, 0.5},
      {"line hung up", 0, true, 0, 0.095, 0.5},
  };
  for (const Row& row : rows) {
    Pipe p;
    const std::vector<uint8_t> bytes(static_cast<std::size_t>(row.waiting), 0x06);
    if (!bytes.empty()) {
      ASSERT_EQ(write(p.w, bytes.data(), bytes.size()), row.waiting);
    }
    if (row.writerGone) {
      close(p.w);
      p.w = -1;
    }
    uint8_t buf[16];
    const auto t0 = Clock::now();
    EXPECT_EQ(portRead(p.r, buf, sizeof buf), row.want) << row.name;
    const double took = secondsSince(t0);
    EXPECT_GE(took, row.minS) << row.name;
    EXPECT_LE(took, row.maxS) << row.name;
  }
}

TEST(Port, AWriteNobodyDrainsEndsWithWhatWentThrough) {
  Pipe p;
  const std::vector<uint8_t> big(1 << 20, 0x55);
  const auto t0 = Clock::now();
  const long done = portWrite(p.w, big.data(), big.size());
  const double took = secondsSince(t0);
  EXPECT_GT(done, 0) << "the pipe took its capacity";
  EXPECT_LT(done, static_cast<long>(big.size()));
  EXPECT_GE(took, 1.9);
  EXPECT_LE(took, 4.0);
}

TEST(Port, AWriteThatDrainsSlowlyGoesThroughWhole) {
  Pipe p;
  const std::vector<uint8_t> big(256 << 10, 0x55);
  long done = 0;
  std::thread writer([&] { done = portWrite(p.w, big.data(), big.size()); });
  std::vector<uint8_t> sink(4096);
  std::size_t got = 0;
  while (got < big.size()) {
    usleep(2000);
    const ssize_t n = read(p.r, sink.data(), sink.size());
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  writer.join();
  EXPECT_EQ(done, static_cast<long>(big.size()));
}

}  // namespace

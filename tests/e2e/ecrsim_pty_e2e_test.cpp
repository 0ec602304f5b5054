// ecrsim's front end with a tiny raw client: the line it publishes, host after host, paced
// or not, and what it refuses to serve.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "rig.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Client {
  int fd = -1;
  std::vector<double> atMs;  // when each byte of the last exchange came, from its send
  explicit Client(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~Client() {
    if (fd >= 0) close(fd);
  }
  // Sends, then reads until n bytes came or the line stayed quiet for the wait.
  Bytes exchange(const Bytes& send, std::size_t n, int waitMs = 2000) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(write(fd, send.data(), send.size()), static_cast<ssize_t>(send.size()));
    Bytes out;
    atMs.clear();
    pollfd p{fd, POLLIN, 0};
    while (out.size() < n && poll(&p, 1, waitMs) > 0) {
      uint8_t buf[256];
      const ssize_t r = read(fd, buf, sizeof buf);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
      const auto at = std::chrono::steady_clock::now() - t0;
      atMs.resize(out.size(), std::chrono::duration<double, std::milli>(at).count());
    }
    return out;
  }
};

const Bytes kWorkedFrame = {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47};
// ACK, then 'S' {0, 0, 0} numbered 1: DLE STX 01 00 00 00 53 00 00 00 DLE ETX 51.
const Bytes kFirstAnswer = {0x06, 0x10, 0x02, 0x01, 0, 0, 0, 0x53, 0, 0, 0, 0x10, 0x03, 0x51};

// ecrsim run alone with these arguments: its exit status, stdout and stderr.
struct Alone {
  int status;
  std::string out, err;
};
Alone ecrsimAlone(const fs::path& dir, const std::string& args) {
  const int s = std::system((std::string(ECRSIM_BIN) + " " + args + " >" + (dir / "out").string() +
                             " 2>" + (dir / "err").string())
                                .c_str());
  return {WIFEXITED(s) ? WEXITSTATUS(s) : -1, rig::slurp(dir / "out"), rig::slurp(dir / "err")};
}

TEST(EcrsimPty, ServesHostAfterHostAndRemovesItsLinkOnStop) {
  rig::Rig rig;
  for (int host = 0; host < 2; ++host) {
    SCOPED_TRACE(host);
    Client c(rig.link());
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(c.exchange({0x1e}, 1), Bytes{0x01});
    EXPECT_EQ(c.exchange(kWorkedFrame, kFirstAnswer.size()), kFirstAnswer)
        << "each host gets a fresh numbering";
    // After the ACK, a damaged frame is refused with NACK and marked in the record.
    EXPECT_EQ(c.exchange({0x06, 0x10, 0x02, 0x06, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x00}, 1),
              Bytes{0x15});
  }
  // The second host's first command reaches the register even when the register
  // missed the close of the first.
  EXPECT_EQ(rig.record(), (std::vector<std::string>{"4100", "BAD 4100", "4100", "BAD 4100"}));
  EXPECT_EQ(rig.stop(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(rig.link())));
}

TEST(EcrsimPty, HangupClosesTheLine) {
  rig::Rig rig("default.json", {"--fault", "hangup@1"});
  Client c(rig.link());
  ASSERT_GE(c.fd, 0);
  EXPECT_TRUE(c.exchange(kWorkedFrame, 1, 3000).empty());
  EXPECT_EQ(rig.stop(), 0);
  EXPECT_EQ(rig.record(), std::vector<std::string>{"HANGUP 4100"});
}

// --pace: the bytes reach the host no faster than the line's speed allows, one by one, and
// unchanged. At 1200 baud a byte is 10 bits: 8.33 ms, long enough to see through any scheduler.
TEST(EcrsimPace, BytesLeaveAtTheLineSpeedAndUnchanged) {
  constexpr double kByteMs = 10.0 * 1000.0 / 1200.0;
  rig::Rig rig("default.json", {"--pace", "1200"});
  Client c(rig.link());
  ASSERT_GE(c.fd, 0);
  EXPECT_EQ(c.exchange({0x1e}, 1, 3000), Bytes{0x01});
  ASSERT_EQ(c.atMs.size(), 1u);
  EXPECT_GE(c.atMs[0], kByteMs * 0.95) << "a status byte takes one byte time";
  // The worked frame: ACK and the 13-byte answer frame, the same bytes as unpaced.
  EXPECT_EQ(c.exchange(kWorkedFrame, kFirstAnswer.size(), 3000), kFirstAnswer);
  ASSERT_EQ(c.atMs.size(), kFirstAnswer.size());
  EXPECT_GE(c.atMs.back(), kByteMs * static_cast<double>(kFirstAnswer.size()) * 0.95);
  // Paced byte by byte, not held back and sent as one lump: the last byte comes
  // at least 13 byte times after the first.
  EXPECT_GE(c.atMs.back() - c.atMs.front(), kByteMs * 13 * 0.95);
}

// ecrsim alone: what it will not serve ends in exit 2 with the reason, no link published and
// every file but a stale symbolic link left alone (a mistyped --link must not cost the host
// developer a file); --help and --version need no --link.
TEST(EcrsimPty, AloneRefusesWhatItCannotServeAndAnswersHelp) {
  rig::Rig running;
  const fs::path dir = running.dir();
  const std::string sales = (dir / "vendite.ECR").string(), other = (dir / "other").string();
  std::ofstream(sales) << "01PANE\n";
  std::ofstream(dir / "notes.txt") << "keep me\n";
  std::ofstream(dir / "bad.json") << R"({"identification": {"model": "TOO LONG MODEL"}})";
  struct Row {
    std::string args;
    std::string why;  // in stderr
  };
  const Row rows[] = {
      {"", ""},  // no --link is a usage error
      {"--link " + other + " --profile " + (dir / "bad.json").string(), ""},
      {"--link " + sales,
       "ecrsim: " + sales + " exists and is not a symbolic link; not replacing it\n"},
      {"--link " + other + " --control " + (dir / "notes.txt").string(),
       "exists and is not a socket; not replacing it"},
      {"--link " + other + " --control " + (dir / "ctl").string(),
       "is served by another process; not replacing it"},
      {"--link " + other + " --control /tmp/" + std::string(120, 'c'),
       "--control wants a path of 1 to 107 bytes"},
      {"--link " + other + " --pace 0", ""},
      {"--link " + other + " --pace 49", ""},
      {"--link " + other + " --pace fast", ""},
      {"--link " + other + " --pace 9600x", ""},
      {"--link " + other + " --pace 4000001", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    const Alone a = ecrsimAlone(dir, row.args);
    EXPECT_EQ(a.status, 2);
    if (row.why.rfind("ecrsim: ", 0) == 0) {
      EXPECT_EQ(a.err.rfind(row.why, 0), 0u) << a.err;  // its own words open its first line
    } else {
      EXPECT_TRUE(contains(a.err, row.why)) << a.err;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(other)));
  }
  EXPECT_EQ(rig::slurp(sales), "01PANE\n");
  EXPECT_EQ(rig::slurp(dir / "notes.txt"), "keep me\n");
  EXPECT_EQ(running.control("state").rfind("{", 0), 0u) << "the running one still serves";
  // --help and --version need no --link and publish nothing.
  const Alone version = ecrsimAlone(dir, "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "ecrsim (cassard) 4.01\n");
  const Alone help = ecrsimAlone(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: ecrsim --link PATH [options]\n", 0), 0u) << help.out;
  EXPECT_TRUE(contains(help.out, "--version"));
  EXPECT_TRUE(contains(help.out, "hangup")) << "the fault list follows the options";
}

}  // namespace

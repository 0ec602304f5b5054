// ecrsim's front end with a tiny raw client: the line it publishes, host after host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "rig.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Client {
  int fd = -1;
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
  void send(const Bytes& b) {
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // Reads until n bytes came or the line stayed quiet for the wait.
  Bytes receive(std::size_t n, int waitMs = 2000) {
    Bytes out;
    pollfd p{fd, POLLIN, 0};
    while (out.size() < n && poll(&p, 1, waitMs) > 0) {
      uint8_t buf[256];
      ssize_t r = read(fd, buf, sizeof buf);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
};

const Bytes kWorkedFrame = {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47};
// ACK, then 'S' {0, 0, 0} numbered 1: DLE STX 01 00 00 00 53 00 00 00 DLE ETX 51.
const Bytes kFirstAnswer = {0x06, 0x10, 0x02, 0x01, 0, 0, 0, 0x53, 0, 0, 0, 0x10, 0x03, 0x51};

TEST(EcrsimPty, ServesHostAfterHostAndRemovesItsLinkOnStop) {
  rig::Rig rig;
  for (int host = 0; host < 2; ++host) {
    SCOPED_TRACE(host);
    Client c(rig.link());
    ASSERT_GE(c.fd, 0);
    c.send({0x1e});
    EXPECT_EQ(c.receive(1), Bytes{0x01});
    c.send(kWorkedFrame);
    EXPECT_EQ(c.receive(kFirstAnswer.size()), kFirstAnswer) << "each host gets a fresh numbering";
    c.send({0x06});
    // A damaged frame is refused with NACK and marked in the record.
    c.send({0x10, 0x02, 0x06, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x00});
    EXPECT_EQ(c.receive(1), Bytes{0x15});
  }
  // The second host's first command reaches the register even when the register
  // missed the close of the first.
  EXPECT_EQ(rig.record(), (std::vector<std::string>{"4100", "BAD 4100", "4100", "BAD 4100"}));
  EXPECT_EQ(rig.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(rig.link())));
}

TEST(EcrsimPty, HangupClosesTheLine) {
  rig::Rig rig("default.json", {"--fault", "hangup@1"});
  Client c(rig.link());
  ASSERT_GE(c.fd, 0);
  c.send(kWorkedFrame);
  EXPECT_TRUE(c.receive(1, 3000).empty());
  EXPECT_EQ(rig.stop(), 0);
  EXPECT_EQ(rig.record(), std::vector<std::string>{"HANGUP 4100"});
}

TEST(EcrsimPty, RefusesABadProfileBeforeServing) {
  const auto dir = std::filesystem::temp_directory_path() / "ecrsim-bad-profile.json";
  { std::ofstream(dir) << R"({"identification": {"model": "TOO LONG MODEL"}})"; }
  const std::string cmd = std::string(ECRSIM_BIN) + " --link /tmp/ecrsim-never --profile " +
                          dir.string() + " 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("/tmp/ecrsim-never")));
  std::filesystem::remove(dir);
}

}  // namespace

namespace {

// A mistyped --link must not cost the host developer a file: only a symbolic link
// (a stale one of an earlier run) is replaced.
TEST(EcrsimPty, LeavesAnyFileButALinkAlone) {
  char tmpl[] = "/tmp/ecrsim-link-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string sales = dir + "/vendite.ECR";
  std::ofstream(sales) << "01PANE\n";
  const std::string cmd = std::string(ECRSIM_BIN) + " --link " + sales + " 2>" + dir + "/err";
  const int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  std::ifstream in(sales);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "01PANE");
  std::ifstream err(dir + "/err");
  std::string why;
  std::getline(err, why);
  EXPECT_EQ(why, "ecrsim: " + sales + " exists and is not a symbolic link; not replacing it");
  std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

std::string output(const std::string& cmd, int& status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  status = pclose(p);
  return out;
}

// --help and --version need no --link and publish nothing.
TEST(EcrsimPty, AnswersHelpAndVersionAlone) {
  int status = -1;
  EXPECT_EQ(output(std::string(ECRSIM_BIN) + " --version", status), "ecrsim (cassard) 4.01\n");
  EXPECT_EQ(status, 0);
  const std::string help = output(std::string(ECRSIM_BIN) + " --help", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("usage: ecrsim --link PATH [options]\n", 0), 0u) << help;
  EXPECT_NE(help.find("--version"), std::string::npos);
  EXPECT_NE(help.find("hangup"), std::string::npos) << "the fault list follows the options";
  output(std::string(ECRSIM_BIN) + " 2>/dev/null", status);
  EXPECT_EQ(WEXITSTATUS(status), 2) << "no --link is a usage error";
}

}  // namespace

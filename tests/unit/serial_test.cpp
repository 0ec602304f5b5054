// Opening, locking and configuring the line, on a real pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"

namespace {

class Serial : public testing::Test {
 protected:
  void SetUp() override {
    freshStart();
    FOpenPort = -1;
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
  }
  void TearDown() override {
    if (FOpenPort >= 0 && FOpenPort != slave_ && FOpenPort != master_) close(FOpenPort);
    close(slave_);
    close(master_);
  }
  // Puts the port in a known state first: 6 data bits, two stop bits, odd parity.
  void presetPort() {
    termios t{};
    tcgetattr(slave_, &t);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS6 | CSTOPB | PARENB | PARODD;
    tcsetattr(slave_, TCSANOW, &t);
  }
  termios configure(const char* settings) {
    presetPort();
    TProtocol(false, path_.c_str(), settings);
    EXPECT_GE(OpenPort(), 0);
    termios t{};
    tcgetattr(FOpenPort, &t);
    return t;
  }
  int master_ = -1, slave_ = -1;
  std::string path_;
};

// The flags a settings text produces, from a port that had 6 data bits, two stop
// bits and odd parity (a pty keeps only the speed and the stop bits, so the whole
// table is checked on the settings record itself).
TEST(LineSettings, FieldsAndTheirFallbacks) {
  struct Case {
    const char* legend;
    const char* settings;
    unsigned speed;
    unsigned size;
    bool parity, odd, twoStop;
  };
  const Case cases[] = {
      {"no text: 9600,N,8,1", nullptr, B9600, CS8, false, true, false},
      {"19200,e,7,2", "19200,e,7,2", B19200, CS7, true, false, true},
      {"speed and O only", "4800,O", B4800, CS6, true, true, true},
      {"unknown speed 0", "0,N,8,1", B9600, CS8, false, true, false},
      {"between two rates", "38401,N,8,1", B9600, CS8, false, true, false},
      {"500000 is not in the table", "500000,N,8,1", B9600, CS8, false, true, false},
      {"9 data bits, 3 stop bits ignored", "38400,E,9,3", B38400, CS6, true, false, true},
      {"5 data bits", "1200,n,5,1", B1200, CS5, false, true, false},
      {"empty parity field shifts the rest", "38400,,8,1", B38400, CS6, false, true, true},
      {"empty text", "", B9600, CS6, true, true, true},
      {"junk number reads as 0", "fast,N,8,1", B9600, CS8, false, true, false},
      {"huge number does not overflow", "99999999999999999999999,N,8,1", B9600, CS8, false, true,
       false},
      {"extra fields ignored", "115200,N,8,1,X,Y", B115200, CS8, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.legend);
    termio t{};
    t.c_iflag = IXON | ICRNL | ISTRIP | IMAXBEL;
    t.c_oflag = OPOST;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cflag = B38400 | HUPCL | CS6 | CSTOPB | PARENB | PARODD;
    t.c_cc[VMIN] = 5;
    t.c_line = 3;
    ConfigureTermio(t, c.settings);
    EXPECT_EQ(t.c_cflag & CBAUD, c.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parity);
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.odd) << "PARODD is left alone without parity";
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
    EXPECT_EQ(t.c_iflag, IMAXBEL) << "only the flags below IMAXBEL are cleared";
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_line, 3) << "line discipline untouched";
  }
}

TEST_F(Serial, SettingsReachTheRealLine) {
  const termios t = configure("19200,N,8,2");
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VTIME], 1);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_NE(fcntl(FOpenPort, F_GETFL) & O_NONBLOCK, 0) << "reads are bounded by the driver";
}

TEST_F(Serial, OpeningSetsTheLinkStartValues) {
  FNum = 9;
  StAut = ST_RX_DATA;
  ReadBufferLen = 5;
  std::snprintf(Matrix[3], MATRIX_COL, "old");
  indMatrixRow = 7;
  configure("38400,N,8,1");
  EXPECT_EQ(FNum, 0);
  EXPECT_EQ(StAut, ST_IDLE);
  EXPECT_EQ(ReadBufferLen, 0);
  EXPECT_EQ(ReadBufferPos, 0);
  EXPECT_STREQ(Matrix[3], "");
  EXPECT_EQ(indMatrixRow, 0);
  EXPECT_STREQ(FErrorExt, "Nessun errore");
}

TEST_F(Serial, MissingOrNullDeviceGivesMinusOne) {
  FNum = 9;
  TProtocol(false, nullptr, nullptr);
  EXPECT_EQ(OpenPort(), -1);
  EXPECT_EQ(FNum, 9) << "nothing else initialised";
  TProtocol(false, "/nonexistent/ca300", nullptr);
  EXPECT_EQ(OpenPort(), -1);
}

TEST_F(Serial, NotATerminalEndsTheRun) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(fake::exitCodeOf([] { TProtocol(false, "/dev/null", nullptr); }), -1);
  EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "ioctl()"));
}

TEST_F(Serial, SecondInstanceWaitsForTheLock) {
  const int holder = open(path_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    TProtocol(false, path_.c_str(), nullptr);
    _exit(OpenPort() >= 0 ? 0 : 1);
  }
  usleep(300'000);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the second instance must wait";
  flock(holder, LOCK_UN);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  close(holder);
}

TEST_F(Serial, SpeedTable) {
  const std::pair<long, int> table[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
      {0, B9600},      {-9600, B9600},    {576000, B9600},   {500000, B9600}};
  for (auto [rate, code] : table) EXPECT_EQ(ttyconvertspeed(rate), code) << rate;
}

// Byte input over the fake line.
using ByteInput = FreshLink;

TEST_F(ByteInput, SilentLineTimings) {
  uint8_t b = 0x77;
  EXPECT_FALSE(ReadFile(&b, false));
  EXPECT_EQ(fake::now(), 100'000u);
  EXPECT_EQ(b, 0x77) << "nothing stored";
  fake::reset();
  EXPECT_FALSE(ReadFile(&b, true));
  EXPECT_EQ(fake::readCalls(), 12);
  ASSERT_EQ(fake::pauses().size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(fake::pauses()[i].micros, i < 7 ? 10'000u : 1'000'000u);
  EXPECT_EQ(fake::now(), 6'270'000u);
}

TEST_F(ByteInput, BufferedBytesAndStepBack) {
  std::vector<uint8_t> chunk(140);
  for (int i = 0; i < 140; ++i) chunk[i] = static_cast<uint8_t>(i);
  fake::arrive(chunk);
  fake::arrive({0xEE});
  uint8_t b;
  for (int i = 0; i < 140; ++i) {
    ASSERT_TRUE(ReadFile(&b, false));
    EXPECT_EQ(b, i);
  }
  EXPECT_EQ(fake::readCalls(), 1) << "140 bytes handed out from one read";
  --ReadBufferPos;
  ASSERT_TRUE(ReadFile(&b, false));
  EXPECT_EQ(b, 139);
  EXPECT_EQ(fake::readCalls(), 1);
  ASSERT_TRUE(ReadFile(&b, false));
  EXPECT_EQ(b, 0xEE);
}

TEST_F(ByteInput, DrainingAndDirtyBuffer) {
  fake::arrive({1, 2, 3});
  uint8_t b;
  ASSERT_TRUE(ReadFile(&b, false));
  fake::arrive({4, 5});
  WaitNoChar();
  EXPECT_EQ(ReadBufferPos, 0);
  EXPECT_EQ(ReadBufferLen, 0);
  EXPECT_TRUE(fake::lineEmpty());
  ClearBufferRx();  // nothing left: does nothing, reads nothing
  const int reads = fake::readCalls();
  ClearBufferRx();
  EXPECT_EQ(fake::readCalls(), reads);
}

}  // namespace

namespace {

// The technician's line when the line cannot be had: the system's reason always, the
// device's owner, group and mode when permissions refused it, and the group advice
// only where joining the group would open the line.
TEST(LineFailureText, ReasonOwnershipAndAdvice) {
  LineFailure denied;
  denied.err = EACCES;
  denied.haveStat = true;
  denied.mode = 020660;  // a character device, rw for owner and group
  denied.owner = "root";
  denied.group = "dialout";
  denied.user = "cassa";
  const std::string deniedHead =
      "cassard: cannot open /dev/ttyUSB0: Permission denied (owner root, group dialout, ";

  struct Case {
    const char* legend;
    LineFailure f;
    const char* device;
    std::string text;
  };
  auto with = [&](auto change) {
    LineFailure f = denied;
    change(f);
    return f;
  };
  const Case cases[] = {
      // clang-format off
      {"missing device", {false, ENOENT}, "/dev/ca300",
       "cassard: cannot open /dev/ca300: No such file or directory\n"},
      {"lock refused", {true, ENOLCK}, "/dev/ca300",
       "cassard: cannot lock /dev/ca300: No locks available\n"},
      // clang-format on
      {"not in the group", denied, "/dev/ttyUSB0",
       deniedHead + "mode 0660); add the user cassa to the group dialout "
                    "(usermod -aG dialout cassa) and log in again\n"},
      {"in the group already", with([](LineFailure& f) { f.inGroup = true; }), "/dev/ttyUSB0",
       deniedHead + "mode 0660)\n"},
      {"group may only read", with([](LineFailure& f) { f.mode = 020640; }), "/dev/ttyUSB0",
       deniedHead + "mode 0640)\n"},
      {"running as root", with([](LineFailure& f) { f.privileged = true; }), "/dev/ttyUSB0",
       deniedHead + "mode 0660)\n"},
      {"names unknown", with([](LineFailure& f) {
         f.owner = f.group = f.user = nullptr;
         f.uid = 1001;
         f.gid = 20;
       }),
       "/dev/ttyUSB0",
       "cassard: cannot open /dev/ttyUSB0: Permission denied (owner 1001, group 20, mode 0660)\n"},
      {"no name for the user", with([](LineFailure& f) { f.user = nullptr; }), "/dev/ttyUSB0",
       deniedHead + "mode 0660); add the user USER to the group dialout "
                    "(usermod -aG dialout USER) and log in again\n"},
      {"device busy: no ownership shown", with([](LineFailure& f) { f.err = EBUSY; }),
       "/dev/ttyUSB0", "cassard: cannot open /dev/ttyUSB0: Device or resource busy\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    char out[512];
    std::memset(out, 'x', sizeof out);
    FormatLineFailure(c.device, c.f, out, sizeof out);
    EXPECT_EQ(std::string(out), c.text);
  }
}

// A long device name is cut, never overrun, and the line still ends with its line end.
TEST(LineFailureText, CutToTheBufferWithItsLineEnd) {
  const std::string device(600, 'd');
  LineFailure f{false, ENOENT};
  for (std::size_t n : {2u, 3u, 16u, 80u}) {
    SCOPED_TRACE(n);
    std::string out(n + 8, '#');
    FormatLineFailure(device.c_str(), f, out.data(), n);
    const std::size_t len = std::strlen(out.c_str());
    EXPECT_EQ(len, n - 1);
    EXPECT_EQ(out[len - 1], '\n');
    EXPECT_EQ(out.substr(n), std::string(8, '#')) << "nothing written past the buffer";
  }
  char one = '#';
  FormatLineFailure(device.c_str(), f, &one, 1);
  EXPECT_EQ(one, '\0');
}

}  // namespace

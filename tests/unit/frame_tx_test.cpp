// Frames on the wire and the register's answer byte.

#include <gtest/gtest.h>

#include <deque>

#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FrameTx : public FreshLink {
 protected:
  Bytes frameFor(uint8_t num, Bytes data) {
    std::array<uint8_t, FRAME_BUF_LEN> out{};
    const std::size_t n = BuildFrame(num, data, out);
    return Bytes(out.begin(), out.begin() + static_cast<long>(n));
  }
};

TEST_F(FrameTx, WorkedFramesAndStuffing) {
  struct Case {
    const char* legend;
    uint8_t num;
    Bytes data;
    Bytes wire;
  };
  // clang-format off
  const Case cases[] = {
      {"zero key, Num 5", 5, {0x41, 0x00},
       {0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47}},
      {"Num 0x10 doubled, counted once", 0x10, {0x41, 0x00},
       {0x10, 0x02, 0x10, 0x10, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x52}},
      {"empty command", 7, {}, {0x10, 0x02, 7, 0, 0, 0, 0x10, 0x03, 7 ^ 0x03}},
      {"data 0x10 doubled", 1, {0x41, 0x10},
       {0x10, 0x02, 1, 0, 0, 0, 0x41, 0x10, 0x10, 0x10, 0x03, 1 ^ 0x41 ^ 0x10 ^ 0x03}},
      // checksum 0x10 goes out once: Num 0x13 ^ 0x03 = 0x10
      {"checksum 0x10 not doubled", 0x13, {}, {0x10, 0x02, 0x13, 0, 0, 0, 0x10, 0x03, 0x10}},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(frameFor(c.num, c.data), c.wire) << c.legend;
}

TEST_F(FrameTx, FrameThatWouldNotFitIsRefused) {
  Bytes big(196, 0x10);  // every byte doubled: 9 + 392 > 400
  std::array<uint8_t, FRAME_BUF_LEN> out{};
  EXPECT_EQ(BuildFrame(0, big, out), 0u);
  Bytes fits(391, 0x41);
  EXPECT_EQ(BuildFrame(0, fits, out), 400u);
}

TEST_F(FrameTx, AnswerByteOutcomes) {
  struct Case {
    const char* legend;
    std::deque<int> answers;
    bool result;
    int ferror;
    int sendings;
    uint8_t fnumAfter;
    unsigned pauseUs;  // total pauses between sendings
  };
  const Case cases[] = {
      {"ACK", {ACK}, true, MP_RX_ACK, 1, 1, 0},
      {"NACK NACK ACK", {NACK, NACK, ACK}, true, MP_RX_ACK, 3, 1, 0},
      {"SKIP then ACK: 1 s apart", {SKIP, ACK}, true, MP_RX_ACK, 2, 1, 1'000'000},
      {"ERR: no second sending", {ERR}, false, MP_RX_ERR, 1, 0, 0},
      {"three NACKs", {NACK, NACK, NACK}, false, MP_RX_NACK, 3, 0, 0},
      {"three SKIPs", {SKIP, SKIP, SKIP}, false, MP_RX_SKIP, 3, 0, 3'000'000},
      {"unexpected byte taken as delivered", {0x41}, true, MP_RX_UNEXP, 1, 1, 0},
  };
  for (const auto& c : cases) {
    freshStart();
    ScriptedEcr ecr;
    ecr.answerBytes = c.answers;
    ecr.rawAnswerFrames.push_back({});  // no answer frame: only the answer byte matters here
    const uint8_t cmd[] = {'A', 0};
    EXPECT_EQ(SendData(3, cmd, 2), c.result) << c.legend;
    EXPECT_EQ(FError, c.ferror) << c.legend;
    EXPECT_EQ(static_cast<int>(fake::writes().size()), c.sendings) << c.legend;
    EXPECT_EQ(FNum, c.fnumAfter) << c.legend;
    unsigned paused = 0;
    for (const auto& p : fake::pauses()) paused += p.micros;
    EXPECT_EQ(paused, c.pauseUs) << c.legend;
    // every sending of one frame carries the same number
    for (const auto& w : fake::writes()) EXPECT_EQ(w[2], 0) << c.legend;
  }
}

TEST_F(FrameTx, SilentRegisterCostsTwelveReadsAndFrameCountsAsDelivered) {
  ScriptedEcr ecr;
  ecr.answerBytes = {-1};
  const uint8_t cmd[] = {'A', 0};
  EXPECT_TRUE(SendData(3, cmd, 2));
  EXPECT_EQ(FError, MP_RX_TIMEOUT);
  EXPECT_STREQ(FErrorExt, "Ecr non risponde (TimeOut SendChar)");
  EXPECT_EQ(FNum, 1);
  EXPECT_EQ(fake::readCalls(), 12);
  // 12 reads of 0.1 s, 7 pauses of 10 ms, 5 of 1 s
  EXPECT_EQ(fake::now(), 12 * 100'000u + 7 * 10'000u + 5 * 1'000'000u);
}

TEST_F(FrameTx, DleAnswerIsReadAgainByTheReceiver) {
  ScriptedEcr ecr;
  ecr.answerBytes = {-1};
  fake::arrive({DLE, STX});
  const uint8_t cmd[] = {'A', 0};
  EXPECT_TRUE(SendData(3, cmd, 2));
  EXPECT_EQ(FError, MP_RX_DLE);
  uint8_t b = 0;
  ASSERT_TRUE(ReadFile(&b, false));
  EXPECT_EQ(b, DLE);
  ASSERT_TRUE(ReadFile(&b, false));
  EXPECT_EQ(b, STX);
}

TEST_F(FrameTx, SequenceNumberWrapsAndAttemptZeroSendsNothing) {
  ScriptedEcr ecr;
  ecr.rawAnswerFrames = {{}, {}};
  FNum = 255;
  const uint8_t cmd[] = {'A'};
  EXPECT_TRUE(SendData(3, cmd, 1));
  EXPECT_EQ(FNum, 0);
  EXPECT_FALSE(SendData(0, cmd, 1));
  EXPECT_EQ(fake::writes().size(), 1u);
}

TEST_F(FrameTx, WriteFailureEndsWithEight) {
  fake::failWrites(true);
  const uint8_t cmd[] = {'A'};
  EXPECT_EQ(fake::exitCodeOf([&] { SendData(3, cmd, 1); }), 8);
  EXPECT_EQ(FError, MP_E_WRITE);
}

}  // namespace

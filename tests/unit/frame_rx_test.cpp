// The receiver: frames byte by byte, reply bytes, repetitions, damaged frames.

#include <gtest/gtest.h>

#include "protocol/port.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint8_t num, uint8_t letter, Bytes data = {}) {
  return ScriptedEcr::frame(num, letter, data);
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FrameRx : public FreshLink {
 protected:
  // Replies this side wrote (everything written: the receiver writes only replies).
  Bytes replies() { return fake::written(); }
};

TEST_F(FrameRx, ReceptionTable) {
  struct Case {
    const char* legend;
    Bytes wire;
    Bytes replies;  // reply bytes this side sends
    bool readData;  // the wait has its ending
    uint8_t code;   // FAnswer's letter afterwards (0: untouched/empty)
    Bytes data;     // FAnswer's data
    int lastId;
  };
  // clang-format off
  const Case cases[] = {
      {"answer 'O' with 12 bytes", frame(1, 'O', Bytes(12, 0x33)), {ACK}, true, 'O',
       Bytes(12, 0x33), 1},
      {"refused letter 'X'", frame(1, 'X'), {SKIP}, false, 0, {}, NO_FRAME_ACCEPTED},
      {"first frame with Num 0 is no repetition", frame(0, 'S', {0, 0, 0}), {ACK}, true, 'S',
       {0, 0, 0}, 0},
      {"leading garbage then the frame", Bytes{0x55, 0x66} + frame(2, 'T', {1}), {ACK}, true, 'T',
       {1}, 2},
      {"DLE STX inside the body restarts", Bytes{DLE, STX, 9, 9} + frame(3, 'D', {7}), {ACK}, true,
       'D', {7}, 3},
      {"DLE DLE stores one 0x10", frame(4, 'U', {0x10, 0x10}), {ACK}, true, 'U', {0x10, 0x10}, 4},
      {"I frame: ending without answer", frame(5, 'I'), {ACK}, true, 0, {}, 5},
      {"I frame with inner answer is skipped", frame(6, 'I', {0x00, 0x00, 0, 0, 'S', 1}), {SKIP},
       true, 0, {}, NO_FRAME_ACCEPTED},
      {"body shorter than a header", Bytes{DLE, STX, 7, 0, DLE, ETX, 7 ^ ETX}, {SKIP}, false, 0,
       {}, NO_FRAME_ACCEPTED},
      {"empty body", Bytes{DLE, STX, DLE, ETX, ETX}, {SKIP}, false, 0, {}, NO_FRAME_ACCEPTED},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.legend);
    freshStart();
    FReadData = false;
    fake::arrive(c.wire);
    Automaton(HT_ATTEMPT);
    EXPECT_EQ(replies(), c.replies);
    EXPECT_EQ(FReadData, c.readData);
    EXPECT_EQ(FAnswer.LogicCode, c.code);
    EXPECT_EQ(Bytes(FAnswer.LogicData.begin(), FAnswer.LogicData.begin() + FAnswer.Len), c.data);
    EXPECT_EQ(FLastID, c.lastId);
    EXPECT_EQ(StAut, ST_IDLE);
  }
}

TEST_F(FrameRx, RepetitionIsAcknowledgedAndNotDecoded) {
  fake::arrive(frame(1, 'O', {1}));
  Automaton(HT_ATTEMPT);
  FReadData = false;
  fake::arrive(frame(1, 'O', {2}));
  Automaton(HT_ATTEMPT);
  EXPECT_EQ(replies(), (Bytes{ACK, ACK}));
  EXPECT_FALSE(FReadData);
  EXPECT_EQ(FAnswer.LogicData[0], 1);
}

TEST_F(FrameRx, DamagedFrameIsNackedAndReceivedAgain) {
  Bytes bad = frame(1, 'O', {1});
  bad.back() ^= 0xff;
  fake::arrive(bad);
  fake::arrive(frame(1, 'O', {1}));
  Automaton(HT_ATTEMPT);
  EXPECT_EQ(replies(), (Bytes{NACK, ACK}));
  EXPECT_TRUE(FReadData);
  // the reception after the first NACK is reported whatever its outcome
  EXPECT_EQ(FError, MP_E_FRAME);
}

TEST_F(FrameRx, ThreeDamagedFramesEndWithSixteen) {
  Bytes bad = frame(1, 'O', {1});
  bad.back() ^= 0xff;
  for (int i = 0; i < 3; ++i) fake::arrive(bad);
  EXPECT_EQ(fake::exitCodeOf([] { Automaton(HT_ATTEMPT); }), 16);
  EXPECT_EQ(replies(), (Bytes{NACK, NACK, NACK}));
}

TEST_F(FrameRx, LongBodyIsCappedButFullyChecked) {
  Bytes data(205, 0x21);  // 210 body bytes
  fake::arrive(frame(1, 'D', data));
  Automaton(HT_ATTEMPT);
  EXPECT_EQ(replies(), Bytes{ACK});
  EXPECT_EQ(FBuffer.Len, 205);
  EXPECT_EQ(FAnswer.Len, 200);
}

TEST_F(FrameRx, SilenceAbandonsTheFrameWithoutReply) {
  fake::arrive({DLE, STX, 1, 0});
  Automaton(HT_ATTEMPT);
  EXPECT_TRUE(replies().empty());
  EXPECT_EQ(FError, MP_E_READ);
  EXPECT_EQ(StAut, ST_IDLE);
  EXPECT_FALSE(FReadData);
}

TEST_F(FrameRx, StrayBytesAreWarnedOnePerByte) {
  fake::arrive(Bytes{0x41} + Bytes{DLE, 0x42} + frame(1, 'H'));
  Automaton(HT_ATTEMPT);
  EXPECT_EQ(replies(), Bytes{ACK});
  // one dump report per offending byte, all in today's log
  const std::string log = dumpLog();
  ASSERT_TRUE(fileExists(dumpLogName()));
  EXPECT_TRUE(contains(log, "Frame error in attesa DLE"));
  EXPECT_TRUE(contains(log, "Frame error in attesa STX"));
  std::remove(dumpLogName().c_str());
}

TEST(RxStateNames, EveryStateHasItsName) {
  EXPECT_STREQ(RxStateName(ST_IDLE), "ST_IDLE");
  EXPECT_STREQ(RxStateName(ST_RX_DLEINT), "ST_RX_DLEINT");
  EXPECT_STREQ(RxStateName(ST_RX_EOT), "ST_RX_EOT");
  EXPECT_STREQ(RxStateName(99), "ST_?");
}

}  // namespace

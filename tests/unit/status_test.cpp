// Status polling, the answer wait and the extended status exchange, in virtual time.

#include <gtest/gtest.h>

#include <deque>

#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Status = FreshLink;

constexpr int SILENT = 0x100;
constexpr uint64_t SILENT_READ_FILE_US = 12 * 100'000u + 7 * 10'000u + 5 * 1'000'000u;

TEST_F(Status, ReadIStatusOutcomes) {
  {
    ScriptedEcr ecr;
    ecr.statuses = {0x01};
    long st = -1;
    EXPECT_TRUE(ReadIStatus(&st));
    EXPECT_EQ(st, 1);
    EXPECT_EQ(FError, 0);
  }
  {
    fake::reset();
    ScriptedEcr ecr;
    ecr.status = SILENT;
    long st = -1;
    EXPECT_FALSE(ReadIStatus(&st));
    EXPECT_EQ(st, MP_NO_STATUS);
    EXPECT_EQ(FError, MP_E_READ);
    EXPECT_EQ(ecr.rstaCount, 3);
    // three tries of 0.1 s, each followed by 1 s
    EXPECT_EQ(fake::now(), 3 * (100'000u + 1'000'000u));
  }
  {
    freshStart();
    fake::arrive({0x21});  // a byte already waiting is the status
    long st = -1;
    EXPECT_TRUE(ReadIStatus(&st));
    EXPECT_EQ(st, 0x21);
  }
}

TEST_F(Status, FrameInsteadOfStatusIsDiscardedAndAcknowledged) {
  // The register answers the first RSTA with a whole frame, the second with 0.
  struct FrameFirst : fake::Peer {
    int rsta = 0;
    void onWrite(std::span<const uint8_t> b) override {
      if (b.size() == 1 && b[0] == RSTA)
        fake::arrive(rsta++ == 0 ? ScriptedEcr::frame(1, 'S', Bytes{0, 0, 0}) : Bytes{0x00});
    }
  } peer;
  fake::setPeer(&peer);
  long st = -1;
  EXPECT_TRUE(ReadIStatus(&st));
  EXPECT_EQ(st, 0);
  fake::setPeer(nullptr);
  EXPECT_EQ(fake::written(), (Bytes{RSTA, ACK, RSTA}));
}

TEST_F(Status, EcrResetPolls) {
  struct Case {
    const char* legend;
    std::deque<int> statuses;
    long result;
    int polls;
  };
  const Case cases[] = {
      {"idle at once", {0x01}, 0, 1},
      {"critical three times then clear", {4, 4, 4, 0}, 0, 4},
      {"critical ten times", std::deque<int>(10, 4), ECR_E_NO_DIALOG, 10},
  };
  for (const auto& c : cases) {
    fake::reset();
    ScriptedEcr ecr;
    ecr.statuses = c.statuses;
    ecr.status = 4;
    EXPECT_EQ(EcrReset(false), c.result) << c.legend;
    EXPECT_EQ(ecr.rstaCount, c.polls) << c.legend;
  }
  fake::reset();
  ScriptedEcr silent;
  silent.status = SILENT;
  EXPECT_EQ(fake::exitCodeOf([] { EcrReset(false); }), 32);
}

TEST_F(Status, ReadIStatusRefusesABusyReceiver) {
  StAut = ST_RX_DATA;
  long st;
  EXPECT_EQ(fake::exitCodeOf([&] { ReadIStatus(&st); }), -1);
  EXPECT_EQ(FError, MP_E_NOT_IDLE);
}

TEST_F(Status, ReadDataWaitsFourCyclesWithIRequests) {
  ScriptedEcr ecr;
  ecr.status = 0x01;
  // the register never answers, not even the I requests
  ecr.rawAnswerFrames = {{}, {}, {}, {}};
  ReadData(HT_ATTEMPT);
  EXPECT_EQ(FError, MP_E_FRAME);
  EXPECT_EQ(ecr.commands.size(), 4u);  // one I request after each silent cycle
  for (const auto& c : ecr.commands) EXPECT_EQ(c, Bytes{'I'});
  // four silent receptions of about 6.3 s, plus the polls in between
  EXPECT_GE(fake::now(), 4 * SILENT_READ_FILE_US);
  EXPECT_LT(fake::now(), 4 * SILENT_READ_FILE_US + 2'000'000u);
}

TEST_F(Status, BusyRegisterGetsNoIRequest) {
  ScriptedEcr ecr;
  ecr.statuses = {0x21};
  ecr.status = 0x01;
  fake::arrive(ScriptedEcr::frame(1, 'O', Bytes{}), SILENT_READ_FILE_US + 200'000);
  const MyBuffer a = ReadData(HT_ATTEMPT);
  EXPECT_EQ(FError, 0);
  EXPECT_EQ(a.LogicCode, 'O');
  EXPECT_TRUE(ecr.commands.empty());
}

TEST_F(Status, CriticalOrSilentRegisterEndsTheWaitWithFour) {
  {
    ScriptedEcr ecr;
    ecr.status = 0x04;
    ReadData(HT_ATTEMPT);
    EXPECT_EQ(FError, MP_E_CRITICAL);
    EXPECT_EQ(ecr.rstaCount, 10);
  }
  freshStart();
  ScriptedEcr ecr;
  ecr.status = SILENT;
  ReadData(HT_ATTEMPT);
  EXPECT_EQ(FError, MP_E_CRITICAL);
  EXPECT_STREQ(FErrorExt, "Errore Critico sull'ECR");
}

TEST_F(Status, WaitEndingOnIFrameYieldsAnEmptyAnswer) {
  FAnswer.LogicCode = 'S';
  FAnswer.Len = 3;
  fake::arrive(ScriptedEcr::frame(1, 'I', Bytes{}));
  const MyBuffer a = ReadData(HT_ATTEMPT);
  EXPECT_EQ(FError, 0);
  EXPECT_EQ(a.LogicCode, 0);
  EXPECT_EQ(a.Len, 0);
}

TEST_F(Status, TestLastTx) {
  struct Case {
    const char* legend;
    Bytes reply;
    uint8_t fnum;
    bool result;
  };
  const Case cases[] = {
      {"count 3, second byte is FNum", {3, 0x01, 0x07, 0x05}, 0x07, true},
      {"count 3, second byte differs", {3, 0x01, 0x07, 0x05}, 0x08, false},
      {"count 1 has no second byte", {1, 0x01}, 0x01, false},
      {"no reply", {}, 0, false},
  };
  for (const auto& c : cases) {
    freshStart();
    FNum = c.fnum;
    struct Replier : fake::Peer {
      Bytes reply;
      void onWrite(std::span<const uint8_t> b) override {
        if (b.size() == 1 && b[0] == RSTAE) fake::arrive(reply);
      }
    } peer;
    peer.reply = c.reply;
    fake::setPeer(&peer);
    EXPECT_EQ(TestLastTx(3), c.result) << c.legend;
    fake::setPeer(nullptr);
  }
}

TEST_F(Status, TestLastTxBadXorRetriesUntilAttemptsRunOut) {
  struct Replier : fake::Peer {
    int asked = 0;
    void onWrite(std::span<const uint8_t> b) override {
      if (b.size() == 1 && b[0] == RSTAE) {
        ++asked;
        fake::arrive({3, 1, 1, 1});  // XOR 1, not 3
      }
    }
  } peer;
  fake::setPeer(&peer);
  EXPECT_FALSE(TestLastTx(2));
  EXPECT_EQ(peer.asked, 2);
  fake::setPeer(nullptr);
}

}  // namespace

// One command end to end: every outcome of DirectIO and txemulaz.

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Transaction : public FreshLink {
 protected:
  AnswerBuffer rx{};
  long rxLen = -7;
  long status = -7;
  long run(Bytes cmd) {
    return DirectIO(cmd.data(), static_cast<long>(cmd.size()), rx, &rxLen, &status);
  }
  std::string text() { return reinterpret_cast<const char*>(rx.data()); }
};

TEST_F(Transaction, AnswersThatReturn) {
  struct Case {
    const char* legend;
    EcrAnswer answer;
    long result;
    long rxLen;
    long status;
    uint8_t opened;
    const char* message;  // nullptr: the data is in rx
  };
  // clang-format off
  const Case cases[] = {
      {"'O' with 12 bytes: status untouched", {'O', Bytes(12, 0x44)}, 0, 12, -7, 0, nullptr},
      {"answer without data", {'H', {}}, 0, 0, -7, 0, nullptr},
      {"'S' 0,0,1 opens the sale", {'S', {0, 0, 1}}, 0, 3, 1, 1, nullptr},
      {"'S' status 0xff is -1", {'S', {0, 0, 0xff}}, 0, 3, -1, 1, nullptr},
      {"'S' short: missing bytes are 0", {'S', {0}}, 0, 1, 0, 0, nullptr},
      {"operator missing", {'S', {0, '*', 1}}, 8, 0, 0, 0,
       " Operatore non inserito con programmato\n             obbligo inserimento operatore"},
      {"change missing", {'S', {0, '\t', 1}}, 8, 0, 0, 0, " Mancanza resto"},
      {"key position", {'S', {0, 'K', 2}}, 21, -7, 2, 1,
       " Assetto Chiave errato,\n              transazione in corso,\n              oppure sono "
       "stati premuti dei tasti.\n"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.legend);
    freshStart();
    rx.fill(0xEE);
    rxLen = status = -7;
    ScriptedEcr ecr;
    ecr.answers.push_back(c.answer);
    EXPECT_EQ(run({'A', 0}), c.result);
    EXPECT_EQ(rxLen, c.rxLen);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(TransactionOpened, c.opened);
    if (c.message) {
      EXPECT_EQ(text(), c.message);
    } else {
      EXPECT_TRUE(std::equal(c.answer.data.begin(), c.answer.data.end(), rx.begin()));
      EXPECT_EQ(rx[c.answer.data.size()], 0xEE) << "no terminator added";
    }
  }
  EXPECT_EQ(FError, MP_E_BAD_KEY);
}

TEST_F(Transaction, WireOfAGoodTransaction) {
  ScriptedEcr ecr;
  EXPECT_EQ(run({'A', 0}), 0);
  // RSTA, the frame, then our ACK to the answer frame
  ASSERT_EQ(fake::writes().size(), 3u);
  EXPECT_EQ(fake::writes()[0], Bytes{RSTA});
  EXPECT_EQ(fake::writes()[1], (Bytes{DLE, STX, 0, 0, 0, 0, 'A', 0, DLE, ETX, 'A' ^ ETX}));
  EXPECT_EQ(fake::writes()[2], Bytes{ACK});
  EXPECT_EQ(fake::now(), 0u) << "an answering register costs no virtual time";
}

TEST_F(Transaction, FailuresThatReturn) {
  {
    ScriptedEcr ecr;
    ecr.answerBytes = {ERR};
    EXPECT_EQ(run({'A', 0}), 2);
    EXPECT_EQ(status, MP_RX_ERR);
    EXPECT_EQ(rxLen, 0);
    EXPECT_EQ(text(), "Time-Out ricezione, Seriale rumorosa?");
    EXPECT_EQ(fake::writes().size(), 2u) << "no answer awaited";
  }
  freshStart();
  {
    ScriptedEcr ecr;
    ecr.status = 0x04;
    EXPECT_EQ(run({'A', 0}), 32);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text(), "Testa Sollevata o Fine Carta");
    EXPECT_TRUE(ecr.commands.empty()) << "no command frame on the line";
  }
}

TEST_F(Transaction, FailuresThatEndTheProcess) {
  struct Case {
    const char* legend;
    std::function<void(ScriptedEcr&)> setup;
    int code;
  };
  const Case cases[] = {
      {"'E' answer", [](ScriptedEcr& e) { e.queue('E', {}); }, 18},
      {"silent status", [](ScriptedEcr& e) { e.status = 0x100; }, 32},
      {"no answer frame, idle register",
       [](ScriptedEcr& e) {
         e.status = 0x01;
         e.rawAnswerFrames = {{}, {}, {}, {}, {}};
       },
       17},
      {"three damaged answers",
       [](ScriptedEcr& e) {
         Bytes bad = ScriptedEcr::frame(1, 'S', Bytes{0, 0, 0});
         bad.back() ^= 1;
         e.rawAnswerFrames = {bad};
       },
       16},
  };
  for (const auto& c : cases) {
    freshStart();
    ScriptedEcr ecr;
    c.setup(ecr);
    EXPECT_EQ(fake::exitCodeOf([&] { run({'A', 0}); }), c.code) << c.legend;
  }
}

TEST_F(Transaction, WaitEndingOnIFrameGivesAnEmptyAnswerNotAStaleOne) {
  ScriptedEcr ecr;
  ecr.queue('S', {0, 0, 1});
  EXPECT_EQ(run({'A', 0}), 0);
  EXPECT_EQ(TransactionOpened, 1);
  ecr.rawAnswerFrames.push_back(ScriptedEcr::frame(9, 'I', Bytes{}));
  rx.fill(0xEE);
  status = -7;
  EXPECT_EQ(run({'A', 0}), 0);
  EXPECT_EQ(rxLen, 0);
  EXPECT_EQ(status, -7);
  EXPECT_EQ(rx[0], 0xEE);
  EXPECT_EQ(TransactionOpened, 1) << "no stale 'S' interpreted";
}

TEST_F(Transaction, FirstAnswerWithNumZeroIsTaken) {
  ScriptedEcr ecr;
  ecr.nextNum = 0;
  ecr.queue('O', {5});
  EXPECT_EQ(run({'A', 0}), 0);
  EXPECT_EQ(rxLen, 1);
  EXPECT_EQ(rx[0], 5);
}

TEST_F(Transaction, TxemulazBuildsTheCommand) {
  ScriptedEcr ecr;
  const uint8_t zero[] = {0};
  txemulaz(zero, 1, 'A');
  txemulaz(nullptr, 0, 'S');
  const uint8_t gaps[] = {0, 30, 0, 49};
  txemulaz(gaps, 4, 'A');
  EXPECT_EQ(ecr.realCommands(), (std::vector<Bytes>{{'A', 0}, {'S'}, {'A', 0, 30, 0, 49}}));
}

TEST_F(Transaction, TxemulazEndsTheRunWithTheResultAndText) {
  ScriptedEcr ecr;
  ecr.queue('S', {0, '\t', 0});
  const uint8_t key[] = {49};
  EXPECT_EQ(fake::exitCodeOf([&] { txemulaz(key, 1, 'A'); }), 8);
}

TEST_F(Transaction, OversizedCommandsAreRefusedBeforeSending) {
  ScriptedEcr ecr;
  Bytes payload(240, 1);
  EXPECT_EQ(fake::exitCodeOf([&] { txemulaz(payload.data(), 240, 'A'); }), -1);
  Bytes stuffed(200, DLE);  // fits the 240-byte command, not the 400-byte frame
  EXPECT_EQ(fake::exitCodeOf([&] { txemulaz(stuffed.data(), 200, 'A'); }), -1);
  EXPECT_TRUE(ecr.commands.empty());
}

TEST_F(Transaction, ShortAnswersAreRefused) {
  EXPECT_EQ(fake::exitCodeOf([] { RequireAnswerLen(75, 76); }), -1);
  RequireAnswerLen(76, 76);
}

}  // namespace

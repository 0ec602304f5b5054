// A faulty line or register in virtual time: bytes that never stop, frames where a
// status byte is due, an answer that comes while the status is asked, a command the
// register never took.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

#include "driver/records.h"
#include "protocol/port.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int SILENT = 0x100;

// Queues pattern over and over, ten bytes every 10 ms of virtual time, for 20 s: longer
// than twice any wait.
void noise(const Bytes& pattern) {
  std::size_t k = 0;
  for (uint64_t at = 0; at < 20'000'000; at += 10'000) {
    Bytes chunk;
    for (int i = 0; i < 10; ++i) chunk.push_back(pattern[k++ % pattern.size()]);
    fake::arrive(chunk, at);
  }
}

// A register that starts a noise once it has taken its first command, or answers its
// first 50 status requests with other bytes.
struct FaultyEcr : ScriptedEcr {
  Bytes noiseAfterCommand, insteadOfStatus;
  int replaced = 0;
  void onWrite(std::span<const uint8_t> b) override {
    if (b.size() == 1 && b[0] == RSTA && !insteadOfStatus.empty() && replaced < 50) {
      ++replaced;
      fake::arrive(insteadOfStatus);
      return;
    }
    const std::size_t before = commands.size();
    ScriptedEcr::onWrite(b);
    if (before == 0 && commands.size() == 1 && !noiseAfterCommand.empty()) noise(noiseAfterCommand);
  }
};

class LineFaults : public testing::Test {
 protected:
  void SetUp() override {
    freshStart();
    std::remove(dumpLogName().c_str());
  }
  void TearDown() override { std::remove(dumpLogName().c_str()); }
  long command(Bytes cmd = {'A', 0}) {
    AnswerBuffer rx{};
    long status = 0;
    return DirectIO(cmd.data(), static_cast<long>(cmd.size()), rx, &rxLen, &status);
  }
  long rxLen = -1;
};

// The answer wait and the status wait on a line that never falls quiet end no later
// than twice their length on a silent line, with the status silence gives; the silent
// line itself keeps its timing to the microsecond. Ten frames where a status byte is
// due count as no status.
TEST_F(LineFaults, WaitsEndOnNoiseAsOnSilence) {
  const uint64_t answerUs = READ_WAIT_SILENT_US + STATUS_SILENT_US;
  const char* readData = "Errore in ReadData";
  const char* readDataNoise = "Errore in ReadData (rumore sulla linea)";
  const char* noLink = "Mancato collegamento con l'ECR";
  const char* noLinkNoise = "Mancato collegamento con l'ECR (rumore sulla linea)";
  const char* noLinkFrames = "Mancato collegamento con l'ECR (frame invece dello stato)";
  const Bytes frame = ScriptedEcr::frame(1, 'S', Bytes{0, 0, 0});
  struct Row {
    const char* legend;
    Bytes afterCommand, fromStart, insteadOfStatus;  // the register's bytes
    int code;
    const char* description;
    uint64_t silentUs;  // the same wait on a silent line
  };
  // clang-format off
  const Row rows[] = {
      {"silent after the ACK", {}, {}, {}, 4, readData, answerUs},
      {"0x55 after the ACK", {0x55}, {}, {}, 4, readDataNoise, answerUs},
      {"DLE and 0x55 after the ACK", {DLE, 0x55}, {}, {}, 4, readDataNoise, answerUs},
      {"a frame begun over and over", {DLE, STX, 0x41, 0x42}, {}, {}, 4, readDataNoise, answerUs},
      {"silent status", {}, {}, {}, 32, noLink, STATUS_SILENT_US},
      {"DLE and 0x55 at the status request", {}, {DLE, 0x55}, {}, 32, noLinkNoise,
       STATUS_SILENT_US},
      {"a frame at every status request", {}, {}, frame, 32, noLinkFrames, STATUS_SILENT_US},
      {"a lone DLE at every status request", {}, {}, {DLE}, 32, noLinkFrames, STATUS_SILENT_US},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    SetUp();
    // The register itself says nothing after the poll before the command.
    FaultyEcr ecr;
    ecr.rawAnswerFrames = {{}};
    ecr.status = SILENT;
    ecr.noiseAfterCommand = r.afterCommand;
    ecr.insteadOfStatus = r.insteadOfStatus;
    if (r.code == 4) ecr.statuses = {0x01};
    if (!r.fromStart.empty()) noise(r.fromStart);
    EXPECT_EQ(fake::exitCodeOf([&] { command(); }), r.code);
    if (r.afterCommand.empty() && r.fromStart.empty() && r.insteadOfStatus.empty())
      EXPECT_EQ(fake::now(), r.silentUs);
    else
      EXPECT_LE(fake::now(), 2 * r.silentUs);
    if (!r.insteadOfStatus.empty()) {
      EXPECT_EQ(ecr.replaced, STATUS_FRAMES_MAX);
    }
    EXPECT_TRUE(
        contains(dumpLog(), std::string("\nDescrizione: ") + r.description + "\nCodice di"));
  }
}

// The register's answer comes late, while the status is asked after a silent
// reception: it is the answer, acknowledged once and taken.
TEST_F(LineFaults, AnswerDuringTheStatusPollIsTaken) {
  struct Row {
    const char* legend;
    Bytes arrives;  // at 6.5 s, during the pause after the first unanswered RSTA
    long rxLen;
    uint8_t opened;
    Bytes replies;  // this side's replies after the command's frame
    uint64_t at = 6'500'000;
    std::deque<int> statuses = {0x01, SILENT};  // the poll before the command, then the wait's
  };
  const Bytes late = ScriptedEcr::frame(1, 'S', Bytes{0, 0, 1});
  Bytes damaged = late;
  damaged.back() ^= 0xff;
  const Row rows[] = {
      {"an 'S' answer with the sale open", late, 3, 1, {RSTA, RSTA, ACK}},
      {"a lone DLE is no answer", {DLE}, 0, 0, {RSTA, RSTA, ACK, RSTA, RSTAE}},
      {"a damaged frame is refused", damaged, 0, 0, {RSTA, RSTA, NACK, RSTA, RSTAE}},
      // The status answered at once; the frame comes as the line is drained before
      // the extended status request.
      {"an answer during the drain before RSTAE", late, 3, 1, {RSTA, ACK}, 6'300'000, {0x01}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    SetUp();
    ScriptedEcr ecr;
    ecr.statuses = r.statuses;
    ecr.status = 0x01;
    // no answer frame to the command; the I request gets an 'I' frame
    ecr.rawAnswerFrames = {{}, ScriptedEcr::frame(2, 'I', Bytes{})};
    fake::arrive(r.arrives, r.at);
    EXPECT_EQ(command(), 0);
    EXPECT_EQ(rxLen, r.rxLen);
    EXPECT_EQ(TransactionOpened, r.opened);
    Bytes replies;
    bool afterCommand = false;
    for (const Bytes& w : fake::writes()) {
      if (w.size() > 1) afterCommand = w.size() > 1 && w[6] != 'I';
      if (afterCommand && w.size() == 1) replies.push_back(w[0]);
    }
    EXPECT_EQ(replies, r.replies);
  }
}

// Before the I request, the extended status says whether the register took the
// command at all.
TEST_F(LineFaults, ExtendedStatusBeforeTheIRequest) {
  struct Row {
    const char* legend;
    int answerByte;  // to the command frame; -1: none, the command not taken
    bool extStatus;
    int code;  // INT32_MIN: DirectIO returns 0
    std::vector<Bytes> commands;
    const char* dump;
  };
  const char* notTaken = "Comando non ricevuto dall'ECR\nDescrizione: Errore in ReadData";
  const Row rows[] = {
      {"not taken", -1, true, 17, {}, notTaken},
      {"taken, answer lost", ACK, true, INT32_MIN, {{'A', 0}, {'I'}}, nullptr},
      {"no extended status", -1, false, INT32_MIN, {{'I'}}, "Stato esteso non supportato"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    SetUp();
    ScriptedEcr ecr;
    ecr.status = 0x01;
    ecr.extStatus = r.extStatus;
    ecr.answerBytes = {r.answerByte};
    ecr.rawAnswerFrames = {{}, ScriptedEcr::frame(1, 'I', Bytes{})};
    if (r.answerByte != ACK) ecr.rawAnswerFrames.pop_front();
    if (r.code == INT32_MIN)
      EXPECT_EQ(command(), 0);
    else
      EXPECT_EQ(fake::exitCodeOf([&] { command(); }), r.code);
    EXPECT_EQ(ecr.commands, r.commands);
    if (r.dump) {
      EXPECT_TRUE(contains(dumpLog(), r.dump)) << dumpLog();
    }
    EXPECT_EQ(FNoExtStatus, !r.extStatus);
  }
}

// Record 99 never takes an answer without the sale's state as "no sale open".
TEST_F(LineFaults, EndOfSaleCheckAsksAgainOnAnEmptyAnswer) {
  const EcrAnswer empty{'I', {}};
  struct Row {
    const char* legend;
    std::vector<EcrAnswer> answers;
    int code;  // 0: the run goes on
    std::size_t asked;
  };
  const Row rows[] = {
      {"state at once", {{'S', {0, 0, 0}}}, 0, 1},
      {"empty, then the sale open", {empty, {'S', {0, 0, 1}}}, 99, 2},
      {"empty twice, then closed", {empty, empty, {'S', {0, 0, 0}}}, 0, 3},
      {"empty three times", {empty, empty, empty}, 17, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    SetUp();
    ScriptedEcr ecr;
    ecr.answers.assign(r.answers.begin(), r.answers.end());
    LineBuffer line{};
    std::memcpy(line.data(), "99", 2);
    if (r.code == 0)
      TranslateRecord(line);
    else
      EXPECT_EQ(fake::exitCodeOf([&] { TranslateRecord(line); }), r.code);
    EXPECT_EQ(ecr.realCommands(), std::vector<Bytes>(r.asked, Bytes{'S'}));
  }
}

}  // namespace

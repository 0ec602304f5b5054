// The benchmark's own parts, checked before its figures are trusted: the floor it
// divides by must be the driver's pauses, and the bare loop must speak the link.
#include "bench/workload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/main.h"
#include "driver/records.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using bench::Bytes;

// Runs the driver's record translation over the file against a scripted register
// in virtual time; returns its steps: each pause, and kCommand for each command.
std::vector<long> driverSteps(const std::string& file) {
  fake::reset();
  auto ecr = std::make_unique<ScriptedEcr>();
  resetLink();
  tastoqta = KeySeq{};
  tastoreso = 0;
  reparto = 1;
  std::vector<long> steps;
  std::size_t pausesSeen = 0;
  auto takePauses = [&] {
    for (; pausesSeen < fake::pauses().size(); ++pausesSeen)
      steps.push_back(fake::pauses()[pausesSeen].micros);
  };
  ecr->responder = [&](std::span<const uint8_t>) {
    takePauses();
    steps.push_back(bench::kCommand);
    return EcrAnswer{'S', {0, 0, 0}};
  };
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t end = file.find('\n', at);
    LineBuffer line{};
    const std::size_t len = std::min(end - at + 1, line.size() - 1);
    std::memcpy(line.data(), file.data() + at, len);
    TranslateRecord(line);
    at = end + 1;
  }
  takePauses();
  ecr.reset();
  return steps;
}

TEST(PauseFloor, IsWhatTheDriverPausesAndWhere) {
  const std::string mixed = bench::receiptLines(7) + bench::singleCommandLines(4) +
                            sales::line("01", "SENZA REPARTO", "100") + bench::receiptLines(3);
  for (const std::string& file : {bench::singleCommandLines(10), bench::receiptLines(12), mixed}) {
    const std::vector<long> driver = driverSteps(file);
    long long total = 0;
    for (long step : driver)
      if (step != bench::kCommand) total += step;
    EXPECT_EQ(bench::pauseFloorMicros(file), total) << file;

    // The run's steps hold one start-up command and the closing command around the
    // lines' own; the driver run here has neither.
    const auto lineCommands =
        static_cast<std::size_t>(std::count(driver.begin(), driver.end(), bench::kCommand));
    const std::vector<long> steps = bench::runSteps(file, lineCommands + 2);
    ASSERT_EQ(steps.size(), driver.size() + 2) << file;
    EXPECT_EQ(steps.front(), bench::kCommand);
    EXPECT_EQ(steps.back(), bench::kCommand);
    EXPECT_EQ(std::vector<long>(steps.begin() + 1, steps.end() - 1), driver) << file;
  }
}

TEST(PauseFloor, RecordsWithoutCommandsOrWithShortPauses) {
  struct Row {
    std::string file;
    long long micros;
  };
  const Row rows[] = {
      {"", 0},
      {sales::line("00", "", "2500") + sales::line("02"), 0},
      {sales::line("51", "", "", "03") + sales::line("HL", "X", "", "02"), 2'000},
      {sales::line("1C") + sales::line("2C") + sales::line("3C"), 3'000},
      {sales::line("55", "giornale", "", "00"), 20'000},
      {sales::line("60") + sales::line("53") + sales::line("54"), 30'000},
      {"0", 0},  // a line too short for a code
  };
  for (const Row& r : rows) EXPECT_EQ(bench::pauseFloorMicros(r.file), r.micros) << r.file;
  // A record the steps do not know gives no steps rather than wrong ones.
  EXPECT_TRUE(bench::runSteps(sales::line("55"), 10).empty());
  EXPECT_TRUE(bench::runSteps(sales::line("05"), 1).empty()) << "fewer commands than lines";
}

TEST(Receipts, EveryReceiptIsPaidEvenWhenTheFileEndsEarly) {
  for (int lines : {1, 4, 5, 6, 9, 100}) {
    const std::string f = bench::receiptLines(lines);
    EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), lines);
    // No item sale after the last payment: the register is left with no sale open.
    const std::size_t lastSale = f.rfind("\n01");
    const std::size_t lastPayment = f.rfind("\n10");
    if (lines >= 2) {
      ASSERT_NE(lastSale, std::string::npos) << lines;
      EXPECT_TRUE(lastPayment != std::string::npos && lastPayment > lastSale) << lines;
    }
    for (std::size_t at = 0; at < f.size(); at = f.find('\n', at) + 1)
      EXPECT_EQ(f.find('\n', at) - at, 48u) << "standard columns";
  }
}

TEST(BareLoop, FramesAreTheRegistersWorkedExamples) {
  const Bytes zeroKey = {'A', 0x00};
  EXPECT_EQ(bench::hostFrame(5, zeroKey),
            (Bytes{0x10, 0x02, 0x05, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x47}));
  EXPECT_EQ(bench::hostFrame(0x10, zeroKey),
            (Bytes{0x10, 0x02, 0x10, 0x10, 0, 0, 0, 0x41, 0x00, 0x10, 0x03, 0x52}));
  // A 0x10 in the command is doubled; a checksum of 0x10 is not.
  EXPECT_EQ(bench::hostFrame(0x13, Bytes{0x10}),
            (Bytes{0x10, 0x02, 0x13, 0, 0, 0, 0x10, 0x10, 0x10, 0x03, 0x00}));
  EXPECT_EQ(bench::hostFrame(0x00, Bytes{0x13}),
            (Bytes{0x10, 0x02, 0x00, 0, 0, 0, 0x13, 0x10, 0x03, 0x10}));
}

TEST(BareLoop, CollectsOneAnswerAcrossChunksAndNoMore) {
  // ACK, then 'S' {0, 0, 0} numbered 1.
  const Bytes answer = {0x06, 0x10, 0x02, 0x01, 0, 0, 0, 0x53, 0, 0, 0, 0x10, 0x03, 0x51};
  // An answer whose body holds a doubled 0x10 and whose checksum is 0x10.
  const Bytes stuffed = {0x06, 0x10, 0x02, 0x10, 0x10, 0, 0, 0, 0x53, 0x03, 0x10, 0x03, 0x10};
  struct Row {
    const char* legend;
    std::vector<Bytes> chunks;
    std::size_t used;  // bytes taken in all
    bool done, refused;
  };
  const Row rows[] = {
      {"one chunk", {answer}, answer.size(), true, false},
      {"byte by byte",
       [&] {
         std::vector<Bytes> c;
         for (uint8_t b : answer) c.push_back({b});
         return c;
       }(),
       answer.size(), true, false},
      {"stuffed body, checksum 0x10", {stuffed}, stuffed.size(), true, false},
      {"frame without ACK",
       {Bytes(answer.begin() + 1, answer.end())},
       answer.size() - 1,
       true,
       false},
      {"bytes after the answer are left",
       {[&] {
         Bytes b = answer;
         b.push_back(0x1e);
         return b;
       }()},
       answer.size(),
       true,
       false},
      {"NACK", {{0x15, 0x10}}, 1, true, true},
      {"cut short", {Bytes(answer.begin(), answer.end() - 1)}, answer.size() - 1, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    bench::AnswerCollector c;
    std::size_t used = 0;
    for (const Bytes& chunk : r.chunks) used += c.feed(chunk);
    EXPECT_EQ(used, r.used);
    EXPECT_EQ(c.done(), r.done);
    EXPECT_EQ(c.refused(), r.refused);
  }
}

TEST(Record, ExecutedCommandsOnlyAndMarksCounted) {
  int marked = -1;
  const auto cmds =
      bench::executedCommands("54\n4100\nBAD 4100\n\n4F0B01\nREP 4100\n41G0\n410", marked);
  EXPECT_EQ(cmds, (std::vector<Bytes>{{0x54}, {0x41, 0x00}, {0x4f, 0x0b, 0x01}}));
  EXPECT_EQ(marked, 4);
}

}  // namespace

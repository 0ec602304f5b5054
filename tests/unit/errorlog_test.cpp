// The protocol trace, the dump log and the console message.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "protocol/port.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ErrorLog : public testing::Test {
 protected:
  void SetUp() override {
    freshStart();
    std::remove(dumpLogName().c_str());
  }
  void TearDown() override { std::remove(dumpLogName().c_str()); }
};

TEST_F(ErrorLog, TraceLineRendering) {
  char out[MATRIX_COL * 2];
  const uint8_t two[] = {0x10, 0x02};
  LogBinToHex(two, 2, out, "CPU: ");
  EXPECT_STREQ(out, "CPU: .10.02 ");
  LogBinToHex(two, 0, out, "ECR: ");
  EXPECT_STREQ(out, "ECR: ");
  const uint8_t hi[] = {0xAB};
  LogBinToHex(hi, 1, out, "ECR: ");
  EXPECT_STREQ(out, "ECR: .AB ");
}

TEST_F(ErrorLog, RingKeepsTheLatestThirtyRows) {
  for (uint8_t i = 1; i <= 31; ++i) LogWrite(&i, 1);
  // the oldest row is now the second line recorded
  EXPECT_STREQ(Matrix[indMatrixRow], "CPU: .02 ");
  EXPECT_STREQ(Matrix[(indMatrixRow + DUMP_ROW - 1) % DUMP_ROW], "CPU: .1F ");
}

TEST_F(ErrorLog, LongChunkIsSplitOverRowsWithoutSpilling) {
  Bytes chunk(200, 0x5A);
  LogRead(chunk.data(), static_cast<long>(chunk.size()));
  EXPECT_EQ(indMatrixRow, 3);  // 81 + 81 + 38 bytes
  EXPECT_EQ(std::strlen(Matrix[0]), 249u);
  EXPECT_EQ(std::strlen(Matrix[1]), 249u);
  EXPECT_EQ(std::strlen(Matrix[2]), 5u + 3 * 38 + 1);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(std::strncmp(Matrix[r], "ECR: ", 5), 0);
}

TEST_F(ErrorLog, DumpReportLayout) {
  LastCommand("01ITEM\n");
  const uint8_t rsta = RSTA;
  LogWrite(&rsta, 1);
  SetError(MP_E_READ, MP_E_READ_E);
  EXPECT_EQ(fake::exitCodeOf([] { ErrorHandle("Mancato collegamento con l'ECR", 32); }), 32);
  std::string expected =
      "\nStart: 15-03-2026 10:20:30\nUltimo comando: 01ITEM\n\nDump del protocollo: ";
  for (int i = 0; i < DUMP_ROW - 1; ++i) expected += "\n";
  expected += "\nCPU: .1E ";
  expected +=
      "\nCodice numerico errore interno: 10 \nCodice esteso errore interno: Errore timeout in "
      "ricezione\nDescrizione: Mancato collegamento con l'ECR\nCodice di uscita: 32 \nFine dump "
      "errore \n\n";
  EXPECT_EQ(dumpLog(), expected);
}

TEST_F(ErrorLog, WarningReturnsAndReportsAccumulate) {
  const std::string console = stdoutOf([] {
    ErrorHandle("primo", 0);
    ErrorHandle("secondo", 0);
  });
  EXPECT_EQ(console,
            "\nErrore di comunicazione sulla porta seriale.\nIl protocollo ha risposto con: "
            "0\n\nDescrizione: primo"
            "\nErrore di comunicazione sulla porta seriale.\nIl protocollo ha risposto con: "
            "0\n\nDescrizione: secondo");
  const std::string log = dumpLog();
  EXPECT_TRUE(contains(log, "Descrizione: primo"));
  EXPECT_TRUE(contains(log, "Descrizione: secondo"));
  EXPECT_FALSE(contains(log, "Codice di uscita"));
}

TEST_F(ErrorLog, ConsoleTextIsNotAFormat) {
  EXPECT_TRUE(contains(stdoutOf([] { ErrorHandle("100%s sconto %n", 0); }), "100%s sconto %n"));
}

TEST_F(ErrorLog, DumpLogNamePerDay) {
  for (auto [month, day, expected] :
       {std::tuple{2, 15, "dump0315.log"}, std::tuple{11, 7, "dump1207.log"}}) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = month;
    t.tm_mday = day;
    t.tm_hour = 12;
    char name[16];
    DumpLogName(std::mktime(&t), name);
    EXPECT_STREQ(name, expected);
  }
}

TEST_F(ErrorLog, NextDayStartsANewFile) {
  ErrorHandle("oggi", 0);
  fake::setCalendar(portNow() + 24 * 3600);
  const std::string tomorrow = dumpLogName();
  ErrorHandle("domani", 0);
  EXPECT_TRUE(contains(readFile(tomorrow), "domani"));
  EXPECT_FALSE(contains(readFile(tomorrow), "oggi"));
  std::remove(tomorrow.c_str());
}

TEST_F(ErrorLog, UnwritableDirectoryStillPrintsAndExits) {
  if (geteuid() == 0) {
    // root writes anywhere: make the log name a directory instead
    mkdir(dumpLogName().c_str(), 0700);
  } else {
    chmod(".", 0500);
  }
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(fake::exitCodeOf([] { ErrorHandle("Impossibile aprire la porta seriale\n", -1); }), -1);
  EXPECT_TRUE(
      contains(testing::internal::GetCapturedStdout(), "Impossibile aprire la porta seriale"));
  EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "dump log"));
  rmdir(dumpLogName().c_str());
  chmod(".", 0700);
}

TEST_F(ErrorLog, LastCommandKeepsTheFirst127Characters) {
  std::string line(200, 'x');
  LastCommand(line.c_str());
  EXPECT_EQ(std::strlen(LastCmd), 127u);
}

// Warnings past their limit are counted, not written: a run stays within 1 MiB of
// dump log and 64 KiB of warnings on the console, whatever it raises, and the next
// report written (a failure, a warning, or the closing one) names what was counted.
TEST_F(ErrorLog, RepeatedWarningsAreCountedWithinTheBudgets) {
  struct Row {
    const char* legend;
    int texts;       // distinct warning texts
    int repeats;     // each raised this often
    bool fullTrace;  // 30 rows of 81 bytes each: the largest report
    int ending;      // exit code of the report that ends the run; 0: the closing report
  };
  const Row rows[] = {
      {"one text thirty thousand times", 1, 30'000, false, 4},
      {"a hundred texts, sixty times each", 100, 60, true, 32},
      {"a few repeats within the limit", 2, 5, false, 0},
      {"many repeats, normal end", 3, 1'000, true, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    SetUp();
    if (r.fullTrace)
      for (int i = 0; i < DUMP_ROW; ++i) LogRead(Bytes(81, 0x55).data(), 81);
    testing::internal::CaptureStdout();
    long raised = 0;
    for (int n = 0; n < r.repeats; ++n)
      for (int t = 0; t < r.texts; ++t, ++raised)
        ErrorHandle(("Frame error " + std::to_string(t)).c_str(), 0);
    const std::string warnings = testing::internal::GetCapturedStdout();
    const std::string before = dumpLog();
    if (r.ending != 0)
      EXPECT_EQ(fake::exitCodeOf([&] { ErrorHandle("Errore in ReadData", r.ending); }), r.ending);
    else
      ReportOmittedWarnings();
    const std::string log = dumpLog();

    EXPECT_LE(warnings.size(), 64u << 10);
    EXPECT_LE(log.size(), 1u << 20);
    long reports = 0;
    for (std::size_t at = 0; (at = before.find("\nStart: ", at)) != std::string::npos; ++at)
      ++reports;
    EXPECT_LE(reports, r.texts * 20L) << "each text at most 20 times";
    const long omitted = raised - reports;
    const std::string last = log.substr(before.size());
    if (omitted == 0) {
      EXPECT_FALSE(contains(last, "Avvisi non scritti"));
      EXPECT_TRUE(r.ending != 0 || last.empty()) << "no closing report without counts";
    } else {
      EXPECT_TRUE(contains(last, "\nAvvisi non scritti: " + std::to_string(omitted) + "\n"))
          << last;
      EXPECT_TRUE(contains(last, r.ending ? "\nDescrizione: Errore in ReadData"
                                          : "\nDescrizione: Avvisi ripetuti non scritti"));
    }
    const std::string end = "\nFine dump errore \n\n";
    EXPECT_EQ(log.substr(log.size() - end.size()), end) << "written whole";
    std::remove(dumpLogName().c_str());
  }
}

}  // namespace

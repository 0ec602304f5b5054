// cassard end to end against ecrsim: whole runs, faults of the line, exit statuses.
#include <gtest/gtest.h>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

TEST(LinkE2e, EmptySalesFileIdentifiesAndCloses) {
  rig::Rig rig;
  rig::Run run = rig.cassard("");
  EXPECT_EQ(run.status, 0) << run.console;
  EXPECT_NE(run.console.find("Il programma e stato terminato correttamente."), std::string::npos);
  EXPECT_EQ(rig.record(), (Lines{"54", "4800"}));
  EXPECT_EQ(rig.dumpLog(), "");
  // A second run on the same line: the register serves the new host as well.
  run = rig.cassard("");
  EXPECT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.record(), (Lines{"54", "4800", "54", "4800"}));
}

TEST(LinkE2e, RecoversFromLineFaults) {
  struct Case {
    const char* legend;
    std::vector<std::string> faults;
    Lines record;
  };
  const Case cases[] = {
      {"NACK twice, then taken", {"--fault", "nack=2@1"}, {"NACK 54", "NACK 54", "54", "4800"}},
      {"SKIP once", {"--fault", "skip@2"}, {"54", "SKIP 4800", "4800"}},
      {"damaged answer checksum", {"--fault", "badsum@1"}, {"54", "4800"}},
      {"stray bytes before the answer", {"--fault", "stray=2@1"}, {"54", "4800"}},
      {"critical for three polls", {"--fault", "critical=3"}, {"54", "4800"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig("default.json", c.faults);
    rig::Run run = rig.cassard("");
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_EQ(rig.record(), c.record);
  }
}

TEST(LinkE2e, FailuresEndWithTheirStatusAndADumpLog) {
  struct Case {
    const char* legend;
    std::vector<std::string> faults;
    int status;
    const char* dumpText;
  };
  const Case cases[] = {
      {"silent register", {"--fault", "dead"}, 32, "Mancato collegamento con l'ECR"},
      {"'E' answer", {"--fault", "E@T"}, 18, "Comando non accettato"},
      {"ERR answer byte", {"--fault", "err@1"}, 2, "Time-Out ricezione, Seriale rumorosa?"},
      {"critical for ten polls", {"--fault", "critical=10"}, 32, "Testa Sollevata o Fine Carta"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig("default.json", c.faults);
    rig::Run run = rig.cassard("", std::chrono::seconds(30));
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, c.status) << run.console;
    EXPECT_NE(rig.dumpLog().find(c.dumpText), std::string::npos) << rig.dumpLog();
  }
}

}  // namespace

namespace {

using Lines = std::vector<std::string>;

TEST(SalesE2e, ASaleOpensAndItsPaymentClosesIt) {
  rig::Rig rig;
  const std::string sales = sales::line("03", "", "", "05") +
                            sales::line("01", "PANE", "250", "03") + sales::line("10", "", "250") +
                            sales::line("99");
  rig::Run run = rig.cassard(sales);
  EXPECT_EQ(run.status, 0) << run.console;
  const Lines cmds = rig.commands();
  ASSERT_GE(cmds.size(), 8u);
  EXPECT_EQ(cmds[0], "54");
  EXPECT_EQ(cmds[1], "4100");
  EXPECT_EQ(cmds[2], "41000527");                                // operator 5: 0, 5, key 39
  EXPECT_EQ(cmds[4].substr(0, 10), "412A132350");                // sale, 35 description bytes
  EXPECT_EQ(cmds[4].substr(cmds[4].size() - 10), "3102050A4D");  // 49, 2 5 0, department 3
  EXPECT_EQ(cmds[6], "4102050A31");                              // the amount keys 2 5 0, then 49
  EXPECT_EQ(cmds[7], "53");
  EXPECT_NE(rig.roll().find("receipt 0124 closed"), std::string::npos) << rig.roll();
}

TEST(SalesE2e, RegisterRefusalsEndTheRun) {
  struct Case {
    const char* legend;
    std::vector<std::string> faults;
    std::string sales;
    int status;
  };
  // clang-format off
  const Case cases[] = {
      {"open sale at the end-of-sale check", {},
       sales::line("01", "PANE", "250", "01") + sales::line("99"), 99},
      {"operator missing", {"--fault", "refuse=*@3"}, sales::line("01", "PANE", "250", "01"), 8},
      {"change missing", {"--fault", "refuse=tab@3"}, sales::line("10", "", "100"), 8},
      {"key position", {"--fault", "refuse=K@3"}, sales::line("10", "", "100"), 21},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig("default.json", c.faults);
    rig::Run run = rig.cassard(c.sales);
    EXPECT_EQ(run.status, c.status) << run.console;
    EXPECT_NE(rig.dumpLog(), "");
  }
}

}  // namespace

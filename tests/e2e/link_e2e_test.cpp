// cassard end to end against ecrsim: whole runs, faults of the line, exit statuses.
#include <gtest/gtest.h>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

TEST(LinkE2e, EmptySalesFileIdentifiesAndCloses) {
  rig::Rig rig;
  rig::Run run = rig.cassard("");
  EXPECT_EQ(run.status, 0) << run.console;
  EXPECT_TRUE(contains(run.console, "Il programma e stato terminato correttamente."));
  EXPECT_EQ(rig.record(), (Lines{"54", "4800"}));
  EXPECT_EQ(rig.dumpLog(), "");
  // A second run on the same line: the register serves the new host as well.
  run = rig.cassard("");
  EXPECT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.record(), (Lines{"54", "4800", "54", "4800"}));
}

// One fault of the register per row (none: ""): the run gets over it, or ends with its
// status and a dump log that says why.
TEST(LinkE2e, FaultsAndRefusals) {
  struct Case {
    const char* legend;
    const char* fault;
    std::string sales;
    int status;
    Lines record;      // empty: not checked
    const char* dump;  // in the dump log; nullptr: not checked
  };
  const std::string sale = sales::line("01", "PANE", "250", "01");
  const std::string pay = sales::line("10", "", "100");
  // clang-format off
  const Case cases[] = {
      {"NACK twice, then taken", "nack=2@1", "", 0, {"NACK 54", "NACK 54", "54", "4800"}, nullptr},
      {"SKIP once", "skip@2", "", 0, {"54", "SKIP 4800", "4800"}, nullptr},
      {"damaged answer checksum", "badsum@1", "", 0, {"54", "4800"}, nullptr},
      {"stray bytes before the answer", "stray=2@1", "", 0, {"54", "4800"}, nullptr},
      {"critical for three polls", "critical=3", "", 0, {"54", "4800"}, nullptr},
      {"silent register", "dead", "", 32, {}, "Mancato collegamento con l'ECR"},
      {"'E' answer", "E@T", "", 18, {}, "Comando non accettato"},
      {"ERR answer byte", "err@1", "", 2, {}, "Time-Out ricezione, Seriale rumorosa?"},
      {"critical for ten polls", "critical=10", "", 32, {}, "Testa Sollevata o Fine Carta"},
      {"open sale at the end-of-sale check", "", sale + sales::line("99"), 99, {},
       "Transazione in corso"},
      {"operator missing", "refuse=*@3", sale, 8, {}, " Operatore non inserito"},
      {"change missing", "refuse=tab@3", pay, 8, {}, " Mancanza resto"},
      {"key position", "refuse=K@3", pay, 21, {}, " Assetto Chiave errato"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig("default.json", *c.fault ? std::vector<std::string>{"--fault", c.fault}
                                          : std::vector<std::string>{});
    rig::Run run = rig.cassard(c.sales, std::chrono::seconds(30));
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, c.status) << run.console;
    if (!c.record.empty()) {
      EXPECT_EQ(rig.record(), c.record);
    }
    if (c.dump) {
      EXPECT_TRUE(contains(rig.dumpLog(), c.dump)) << rig.dumpLog();
    }
  }
}

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
  EXPECT_TRUE(contains(rig.roll(), "receipt 0124 closed")) << rig.roll();
}

}  // namespace

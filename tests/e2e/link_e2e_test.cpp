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

// The fiscal report file and the configuration load end to end: cassard against
// ecrsim, compared with stored report files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

std::string golden(const std::string& name) {
  return rig::slurp(std::string(CASSARD_TEST_DATA) + "/fiscal/" + name);
}

// The configuration load of the standard profiles, after the identification:
// memory map, TOTF, OPZ, index table, its extension, OOPZ, article codes, then the
// three expansion memory queries.
const Lines kLoadAfterIdent = {"44000140", "44000473", "44000332", "44000570", "44700540",
                               "44000632", "4303",     "550000",   "550001",   "550018"};

// One sale paid in two parts: the register closes the receipt at the second, so its
// counter moves on.
std::string paidSale() {
  return sales::line("01", "PANE", "150", "01") + sales::line("12", "", "50") + sales::line("13");
}

TEST(EcrConfE2e, FiscalReportOfARun) {
  struct Case {
    const char* profile;
    const char* golden;
  };
  // The brand '6' register keeps its receipt counter two bytes further on.
  for (const Case& c :
       {Case{"default.json", "e2e_default.fis"}, Case{"brand6.json", "e2e_brand6.fis"}}) {
    SCOPED_TRACE(c.profile);
    rig::Rig rig(c.profile);
    const rig::Run run = rig.cassard(paidSale());
    ASSERT_EQ(run.status, 0) << run.console;
    // Two fiscal records (12 and 13): the file is made anew at the second one and
    // holds one heading and one set of identity lines.
    EXPECT_EQ(rig.file("vendite.fis"), golden(c.golden));
    Lines tail = kLoadAfterIdent;
    tail.insert(tail.begin(), "54");
    tail.push_back("4800");
    const Lines cmds = rig.commands();
    ASSERT_GE(cmds.size(), tail.size());
    EXPECT_EQ(Lines(cmds.end() - tail.size(), cmds.end()), tail);
  }
}

TEST(EcrConfE2e, RefusedBrandEndsTheRunAfterTheReceiptLine) {
  struct Case {
    const char* profile;
    const char* text;
  };
  for (const Case& c :
       {Case{"brand5.json", "Marca non supportata"}, Case{"brandI.json", "Marca non supprtata"}}) {
    SCOPED_TRACE(c.profile);
    rig::Rig rig(c.profile);
    const rig::Run run = rig.cassard(sales::line("01", "PANE", "150", "01") + sales::line("13"));
    EXPECT_EQ(run.status, 255) << run.console;
    EXPECT_TRUE(contains(rig.dumpLog(), "Descrizione: " + std::string(c.text) + "\n"))
        << rig.dumpLog();
    // The receipt number is read before the brand is judged, and the closing
    // command is never sent.
    const std::string report = rig.file("vendite.fis");
    EXPECT_EQ(report.substr(0, 10), "[FISCALI]\n");
    EXPECT_TRUE(contains(report, "\nPROGRESSIVO_SCONTRINO=")) << report;
    const Lines cmds = rig.commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back(), "44000570");
  }
}

}  // namespace

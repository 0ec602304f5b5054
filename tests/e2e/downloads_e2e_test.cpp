// The downloads end to end: cassard reads the journal and the totals out of ecrsim
// into files, compared with stored files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kData = CASSARD_TEST_DATA "/downloads/";
const std::string OPEN = "4801";
const std::string CLOSE = "4800";
const std::string NEXT_RECORD = "55000A";

std::string golden(const std::string& name) {
  return rig::slurp(kData + name);
}

// The commands of each download: from its opening command to its closing command.
std::vector<Lines> downloads(const Lines& cmds) {
  std::vector<Lines> out;
  for (auto it = cmds.begin(); (it = std::find(it, cmds.end(), OPEN)) != cmds.end();) {
    auto end = std::find(it, cmds.end(), CLOSE);
    out.emplace_back(it, end == cmds.end() ? end : end + 1);
    it = end;
  }
  return out;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(DownloadsE2e, JournalInHexAndFormatted) {
  rig::Rig rig;
  // The second journal is appended to a file the first one made; the third truncates.
  const rig::Run run = rig.cassard(
      sales::line("55", "JOURNAL-2009", "", "00") + sales::line("55", "FORMATTED-1", "", "10") +
      sales::line("55", "FORMATTED-1", "", "11") + sales::line("55", "HEX TWICE-", "", "01") +
      sales::line("55", "HEX TWICE-", "", "21"));
  ASSERT_EQ(run.status, 0) << run.console;

  EXPECT_EQ(rig.file("JOURNAL"), golden("journal.hex"));
  EXPECT_EQ(rig.file("FORMATTED"), golden("journal.fmt") + golden("journal.fmt"));
  EXPECT_EQ(rig.file("HEX TWICE"), golden("journal.hex") + golden("journal.hex"));

  // 27 records: 28 requests, the dots before the 1st and the 17th.
  const auto each = downloads(rig.commands());
  ASSERT_EQ(each.size(), 5u);
  Lines one{OPEN};
  one.insert(one.end(), 28, NEXT_RECORD);
  one.push_back(CLOSE);
  for (const Lines& d : each) EXPECT_EQ(d, one);
  EXPECT_EQ(count(run.console, "Lettura movimenti espansione.\n Attendere ..\n"), 5u);
}

TEST(DownloadsE2e, JournalRecordsThatDoNotFitTheirLayout) {
  rig::Rig rig(kData + "edges.json");
  const rig::Run run = rig.cassard(sales::line("55", "EDGES-", "", "10"));
  ASSERT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.file("EDGES"), golden("edges.fmt"));
}

TEST(DownloadsE2e, InternalTotalsOfTwentyDepartments) {
  rig::Rig rig;
  const rig::Run run = rig.cassard(sales::line("60", "TOTALI-INT", "", "00"));
  ASSERT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.file("TOTALI"), golden("internal_totals.txt"));
  EXPECT_TRUE(contains(
      run.console, std::string(40, '\n') + "Lettura totalizzatori espansione.\n Attendere ..\n"))
      << run.console;

  const auto each = downloads(rig.commands());
  ASSERT_EQ(each.size(), 1u);
  const Lines& d = each[0];
  ASSERT_EQ(d.size(), 1u + 1 + 20 + 15 + 1);
  EXPECT_EQ(d[1], "54");
  EXPECT_EQ(d[2], "44001030");   // department 1: 48 bytes at 0x1000
  EXPECT_EQ(d[21], "44901330");  // department 20 at 0x1000 + 19 * 48
  EXPECT_EQ(d[22], "44000807");  // CA, general total 0, 7 bytes at 0x0800
  EXPECT_EQ(d[36], "44030907");  // SC, general total 37
}

TEST(DownloadsE2e, ExpansionTotalsReadClearedAndReadAgain) {
  rig::Rig rig;
  const rig::Run run = rig.cassard(sales::line("54", "TOTEXP1-", "", "00") + sales::line("53") +
                                   sales::line("54", "TOTEXP2-", "", "00") +
                                   sales::line("54", "TOTEXP2-", "", "10"));
  ASSERT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.file("TOTEXP1"), golden("expansion_totals.txt"));
  // Cleared records read as zeros; "10" appends, as only "00" truncates a totals file.
  EXPECT_EQ(rig.file("TOTEXP2"),
            golden("expansion_totals_cleared.txt") + golden("expansion_totals_cleared.txt"));

  const auto each = downloads(rig.commands());
  ASSERT_EQ(each.size(), 4u);
  EXPECT_EQ(each[1], (Lines{OPEN, "550014", CLOSE}));
  ASSERT_EQ(each[0].size(), 35u);
  EXPECT_EQ(each[0][1], "55001301");
  EXPECT_EQ(each[0][33], "55001321");
  EXPECT_EQ(count(run.console, "Lettura totalizzatori interni.\n Attendere .."), 3u);
}

TEST(DownloadsE2e, FileThatCannotBeMadeIsRefusedBeforeTheDownload) {
  rig::Rig rig;
  const rig::Run run = rig.cassard(sales::line("55", "-NONAME", "", "00"));
  EXPECT_EQ(run.status, 255) << run.console;
  EXPECT_TRUE(contains(rig.dumpLog(), "Impossibile aprire il file di output"));
  EXPECT_TRUE(downloads(rig.commands()).empty());
}

}  // namespace

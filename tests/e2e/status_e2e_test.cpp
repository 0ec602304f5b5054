// cassard --status: one JSON object on stdout, reads only, failures as a run's.

#include <gtest/gtest.h>

#include <fstream>

#include "rig.h"

namespace {

using sales::line;

// Identification, the TOTF address in the memory map, the counter, 'S' alone.
const std::vector<std::string> kReadsOnly = {"54", "44200102", "44060402", "53"};

// The reading of the test registers: their receipt counter and whether a sale is open.
std::string reading(const char* receipt, bool open, char brand = '2') {
  return std::string(R"({"model":")") + brand + R"(AX 0130","brand":")" + brand +
         R"(","serial":"72MX001234","fiscalisedAt":"2009-12-31T23:59:58","receiptNumber":")" +
         receipt + R"(","saleOpen":)" + (open ? "true" : "false") + "}";
}

TEST(Status, ReadsIdentityCounterAndOpenSale) {
  struct Row {
    const char* legend;
    const char* profile;
    std::string salesBefore;  // run by cassard first, on the same register
    std::string json;
  };
  const std::string sale = line("01", "PANE", "125", "01");
  const Row rows[] = {
      {"fresh register", "default.json", "", reading("0123", false)},
      {"after one receipt", "default.json", sale + line("10", "", "125") + line("99"),
       reading("0124", false)},
      {"a sale left open", "default.json", sale, reading("0123", true)},
      {"brand 6 keeps its counter two bytes further on", "brand6.json", "",
       reading("4567", false, '6')},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    rig::Rig rig(r.profile);
    std::size_t before = 0;
    if (!r.salesBefore.empty()) {
      ASSERT_EQ(rig.cassard(r.salesBefore).status, 0);
      before = rig.commands().size();
    }
    const rig::Run run = rig.cassardApart({"--status", rig.link()});
    EXPECT_EQ(run.status, 0) << run.console << run.errors;
    EXPECT_EQ(run.console, r.json + "\n");
    EXPECT_EQ(run.errors, "");
    std::vector<std::string> sent = rig.commands();
    sent.erase(sent.begin(), sent.begin() + static_cast<long>(before));
    if (std::string(r.profile) == "default.json") {
      EXPECT_EQ(sent, kReadsOnly);
    }
    EXPECT_TRUE(rig.dumpLog().empty());
  }
}

TEST(Status, RegisterTextIsEscaped) {
  rig::Rig probe;
  const auto profile = probe.dir() / "odd.json";
  std::ofstream(profile)
      << R"({"base": ")" << CASSARD_TEST_DATA
      << R"(/profiles/default.json", "identification": {"serial": "7\"\\X\tY0123"}})";
  rig::Rig rig(profile.string());
  const rig::Run run = rig.cassardApart({"--status", rig.link()});
  EXPECT_EQ(run.status, 0) << run.console << run.errors;
  EXPECT_TRUE(contains(run.console, R"("serial":"7\"\\X\u0009Y0123")")) << run.console;
}

// A hiccup the exchange gets over is reported, but stdout stays the JSON alone: a host
// parses it whole.
TEST(Status, AWarningLeavesStdoutToTheJson) {
  rig::Rig rig("default.json", {"--fault", "stray@1"});
  const rig::Run run = rig.cassardApart({"--status", rig.link()});
  EXPECT_EQ(run.status, 0) << run.console << run.errors;
  ASSERT_FALSE(run.console.empty());
  EXPECT_EQ(run.console.front(), '{') << run.console;
  EXPECT_EQ(run.console.find('\n'), run.console.size() - 1) << run.console;
  EXPECT_TRUE(contains(run.errors, "Descrizione: ")) << run.errors;
  EXPECT_FALSE(rig.dumpLog().empty());
}

TEST(Status, FailuresEndAsARunDoes) {
  rig::Rig rig("default.json", {"--fault", "E@S"});
  const rig::Run refused =
      rig.cassardApart({"--status", rig.link()}, nullptr, std::chrono::seconds(60));
  EXPECT_EQ(refused.status, 18);
  EXPECT_FALSE(contains(refused.console, "{")) << "no JSON for a register that refused";
  EXPECT_TRUE(contains(refused.console, "Errore di comunicazione sulla porta seriale."));
  EXPECT_FALSE(rig.dumpLog().empty());

  const rig::Run noLine = rig.cassardApart({"--status", (rig.dir() / "nothing").string()});
  EXPECT_EQ(noLine.status, 255);
  EXPECT_EQ(noLine.console,
            "\nErrore di comunicazione sulla porta seriale.\n"
            "Il protocollo ha risposto con: -1\n"
            "\nDescrizione: Impossibile aprire la porta seriale\n");
  EXPECT_TRUE(contains(noLine.errors, "cannot open")) << noLine.errors;
}

TEST(Status, AfterARunOnTheLineItHolds) {
  rig::Rig rig;
  std::ofstream(rig.dir() / "vendite.ECR")
      << sales::line("01", "PANE", "125", "01") + sales::line("10", "", "125") + sales::line("99");
  const rig::Run run = rig.cassardApart({"--status-after", "st.json", "vendite.ECR", rig.link()});
  EXPECT_EQ(run.status, 0) << run.console << run.errors;
  EXPECT_TRUE(contains(run.console, "terminato correttamente")) << "the console of a run";
  EXPECT_EQ(rig.file("st.json"), reading("0124", false) + "\n");
  // One identification, at the start: after the sale only the counter, then 'H'; the
  // sale's state is the one record 99 has just asked for.
  const std::vector<std::string> sent = rig.commands();
  ASSERT_GE(sent.size(), 5u);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "54"), 1);
  EXPECT_EQ(std::vector<std::string>(sent.end() - 4, sent.end()),
            (std::vector<std::string>{"53", "44200102", "44060402", "4800"}));

  // A run that fails writes no status: the service then reads the register apart.
  const rig::Run failed =
      rig.cassardApart({"--status-after", "st2.json", "missing.ECR", rig.link()});
  EXPECT_EQ(failed.status, 255);
  EXPECT_FALSE(rig.exists("st2.json"));
}

// --status-before: the reading comes on the run's own line before its first line; a sale
// already open stops the run there, with nothing sent.
TEST(Status, BeforeTheFirstLine) {
  const std::string receipt =
      sales::line("01", "PANE", "125", "01") + sales::line("10", "", "125") + sales::line("99");
  struct Row {
    const char* legend;
    std::string leftOpen;  // an earlier run that leaves a sale open
    std::vector<std::string> options;
    int status;
    std::string before, after;  // "" for a file that must not be there
    std::string sales = "";     // the receipt when empty
  };
  const std::vector<std::string> both = {"--status-before", "b.json", "--status-after", "a.json"};
  // clang-format off
  const Row rows[] = {
      {"both readings", "", both, 0, reading("0123", false) + "\n", reading("0124", false) + "\n"},
      {"either order", "", {"--status-after", "a.json", "--status-before", "b.json"}, 0,
       reading("0123", false) + "\n", reading("0124", false) + "\n"},
      {"a sale already open: nothing sent", sales::line("01", "MELE", "300", "01"), both, 98,
       reading("0123", true) + "\n", ""},
      // The last command was no 'S': the sale's state is asked again after the run.
      {"a sale the run leaves open", "", both, 0, reading("0123", false) + "\n",
       reading("0123", true) + "\n", sales::line("01", "PANE", "125", "01")},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    rig::Rig rig;
    if (!r.leftOpen.empty()) {
      ASSERT_EQ(rig.cassard(r.leftOpen, std::chrono::seconds(60), "open.ECR").status, 0);
    }
    const std::size_t earlier = rig.commands().size();
    std::ofstream(rig.dir() / "vendite.ECR") << (r.sales.empty() ? receipt : r.sales);
    std::vector<std::string> args = r.options;
    args.insert(args.end(), {"vendite.ECR", rig.link()});
    const rig::Run run = rig.cassardApart(args);
    EXPECT_EQ(run.status, r.status) << run.console << run.errors;
    EXPECT_EQ(rig.file("b.json"), r.before);
    EXPECT_EQ(rig.exists("a.json"), !r.after.empty());
    EXPECT_EQ(rig.file("a.json"), r.after);
    std::vector<std::string> sent = rig.commands();
    sent.erase(sent.begin(), sent.begin() + static_cast<long>(earlier));
    // Identification first, and the reading before anything of the sale.
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent.front(), "54");
    const auto counter = std::find(sent.begin(), sent.end(), "44060402");
    const auto sale = std::find_if(sent.begin(), sent.end(), [](const std::string& c) {
      return c.find("50414E45") != std::string::npos;  // PANE
    });
    EXPECT_LT(counter, sale);
    if (r.status == 98) {
      EXPECT_EQ(sale, sent.end()) << "a line was sent into the open sale";
      EXPECT_TRUE(contains(run.errors, "(exit 98)")) << run.errors;
    }
  }
}

}  // namespace

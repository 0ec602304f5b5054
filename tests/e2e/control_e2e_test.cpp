// ecrsim as a host developer drives it: the scenarios of its manual run as written, and
// its control socket answering while a host is in the middle of a receipt.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "rig.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The ```sh blocks under each "### " heading of the manual's Scenarios section.
std::vector<std::pair<std::string, std::string>> scenarios() {
  const std::string doc = readFile(fs::path(CASSARD_DOCS) / "ecrsim.md");
  const std::size_t begin = doc.find("\n## Scenarios\n");
  const std::size_t end = doc.find("\n## ", begin + 1);
  std::istringstream in(doc.substr(begin, end - begin));
  std::vector<std::pair<std::string, std::string>> out;
  bool code = false;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("### ", 0) == 0) {
      out.push_back({l.substr(4), ""});
    } else if (l == "```sh" || (code && l == "```")) {
      code = !code;
    } else if (code && !out.empty()) {
      out.back().second += l + "\n";
    }
  }
  return out;
}

TEST(EcrsimScenarios, EachExampleOfTheManualRunsAsWritten) {
  const auto all = scenarios();
  ASSERT_FALSE(all.empty());
  ASSERT_EQ(all[0].first, "Setting up");
  std::vector<std::string> titles;
  for (const auto& s : all) titles.push_back(s.first);
  EXPECT_EQ(titles, (std::vector<std::string>{"Setting up", "Refuse a payment",
                                              "Fall silent mid-receipt", "Vanish mid-download",
                                              "Leave a sale open", "A person at the register"}));
  char tmpl[] = "/tmp/cassard-scenario-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  fs::create_directory(root / "bin");
  fs::create_symlink(ECRSIM_BIN, root / "bin" / "ecrsim");
  fs::create_symlink(CASSARD_BIN, root / "bin" / "cassard");
  bool failed = false;
  for (std::size_t i = 1; i < all.size(); ++i) {
    SCOPED_TRACE(all[i].first);
    const fs::path dir = root / std::to_string(i);
    fs::create_directory(dir);
    // Whatever happens, no ecrsim outlives its scenario.
    std::ofstream(dir / "scenario.sh")
        << "trap '[ -z \"${sim:-}\" ] || kill \"$sim\" 2>/dev/null || true' EXIT\n"
        << all[0].second << all[i].second;
    const std::string cmd = "cd '" + dir.string() + "' && PATH='" + (root / "bin").string() +
                            "':\"$PATH\" PROFILES='" CASSARD_TEST_DATA
                            "/profiles' timeout -k 5 120 sh -ex scenario.sh >out.txt 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(status, 0) << readFile(dir / "out.txt") << readFile(dir / "roll.txt");
    failed = failed || status != 0;
  }
  if (!failed) fs::remove_all(root);
}

// While an answer is held back, the control socket still answers and shows the sale
// the register has taken: each answer comes well within the 2 s the host waits (a few
// milliseconds on an idle machine; the bound leaves room for a loaded one).
TEST(EcrsimControlE2e, StateAnswersInTheMiddleOfAReceipt) {
  rig::Rig rig("default.json", {"--fault", "delay=2000@sale"});
  auto run = std::async(std::launch::async, [&] {
    return rig.cassard(sales::line("01", "PANE", "250", "01") + sales::line("11") +
                       sales::line("99"));
  });
  bool seenOpen = false;
  double slowestMs = 0;
  while (run.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string state = rig.control("state");
    slowestMs = std::max(
        slowestMs,
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    ASSERT_EQ(state.rfind("{", 0), 0u) << state;
    seenOpen = seenOpen || state.find("\"saleOpen\":true") != std::string::npos;
  }
  EXPECT_EQ(run.get().status, 0);
  EXPECT_TRUE(seenOpen);
  EXPECT_LT(slowestMs, 500.0);
  EXPECT_NE(rig.control("state").find("\"receiptNumber\":\"0124\""), std::string::npos);
}

// A control path ecrsim must not take: it exits 2 with the reason, the file untouched.
TEST(EcrsimControlE2e, RefusesAPathThatIsNotItsToTake) {
  rig::Rig running;
  const fs::path dir = running.dir();
  std::ofstream(dir / "notes.txt") << "keep me\n";
  struct Row {
    std::string path;
    std::string why;
  };
  const Row rows[] = {
      {(dir / "notes.txt").string(), "exists and is not a socket; not replacing it"},
      {(dir / "ctl").string(), "is served by another process; not replacing it"},
      {"/tmp/" + std::string(120, 'c'), "--control wants a path of 1 to 107 bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string cmd = std::string(ECRSIM_BIN) + " --link " + (dir / "other").string() +
                            " --control " + row.path + " 2>" + (dir / "err").string();
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_NE(readFile(dir / "err").find(row.why), std::string::npos) << readFile(dir / "err");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "other")));
  }
  EXPECT_EQ(readFile(dir / "notes.txt"), "keep me\n");
  EXPECT_EQ(running.control("state").rfind("{", 0), 0u) << "the running one still serves";
}

}  // namespace

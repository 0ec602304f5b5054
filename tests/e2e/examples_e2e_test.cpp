// The example sales files shipped with cassard are what a newcomer copies first:
// each must run through against the simulated register and leave the files it asks for.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "rig.h"

namespace {

// "2,50" or "-0,45" in cents.
long long cents(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c != ',') digits.push_back(c);
  return std::stoll(digits);
}

// Reads the roll as a cashier checks a till roll: each receipt's lines add up to its
// TOTAL, its payments less the total are its CHANGE. Returns the receipt numbers.
std::vector<std::string> receiptsAddUp(const std::string& roll) {
  std::vector<std::string> numbers;
  long long sum = 0, paid = 0, total = 0;
  std::istringstream in(roll);
  for (std::string l; std::getline(in, l);) {
    const std::string last = l.substr(l.find_last_of(' ') + 1);
    if (l.rfind("SALE ", 0) == 0 || l.rfind("RETURN ", 0) == 0 || l.rfind("DISCOUNT ", 0) == 0 ||
        l.rfind("SURCHARGE ", 0) == 0) {
      sum += cents(last);
    } else if (l.rfind("PAYMENT ", 0) == 0) {
      paid += cents(last);
    } else if (l.rfind("TOTAL ", 0) == 0) {
      total = cents(last);
      EXPECT_EQ(total, sum) << l;
    } else if (l.rfind("CHANGE ", 0) == 0) {
      EXPECT_EQ(cents(last), paid - total) << l;
    } else if (l.find(" closed ---") != std::string::npos) {
      numbers.push_back(l.substr(l.find("receipt ") + 8, 4));
      sum = paid = total = 0;
    }
  }
  return numbers;
}

TEST(Examples, EveryShippedSalesFileRunsThrough) {
  struct Case {
    const char* file;
    std::vector<const char*> written;   // files the run must leave, not empty
    std::vector<std::string> receipts;  // closed on the roll, in order
  };
  const Case cases[] = {
      {"vendite.ECR", {"vendite.fis", "JOURNAL"}, {"0124", "0125"}},
      {"scontrino.ECR", {}, {"0124"}},
      {"pagamenti.ECR", {}, {"0124", "0125", "0126", "0127", "0128"}},
      {"testi.ECR", {}, {"0124"}},
      {"rapporti.ECR", {}, {}},
      {"scarichi.ECR", {"TOTALI", "TOTEXP", "GIORNALE", "GIORNALEHEX"}, {}},
  };
  std::size_t seen = 0;
  for (const auto& e : std::filesystem::directory_iterator(CASSARD_EXAMPLES))
    if (e.path().extension() == ".ECR") ++seen;
  EXPECT_EQ(seen, std::size(cases)) << "a new example needs its row here";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    rig::Rig rig;
    const auto path = std::filesystem::path(CASSARD_EXAMPLES) / c.file;
    ASSERT_TRUE(std::filesystem::exists(path)) << "missing example";
    const rig::Run run = rig.cassard(rig::slurp(path), std::chrono::seconds(60), c.file);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_EQ(rig.dumpLog(), "");
    for (const std::string& line : rig.record())
      EXPECT_FALSE(contains(line, " ")) << "refused by the register: " << line;
    for (const char* name : c.written) EXPECT_NE(rig.file(name), "") << name;
    EXPECT_EQ(receiptsAddUp(rig.roll()), c.receipts) << rig.roll();
    // The fiscal report names the receipt the run printed last, as the roll does.
    if (rig.exists("vendite.fis")) {
      EXPECT_TRUE(
          contains(rig.file("vendite.fis"), "PROGRESSIVO_SCONTRINO=" + c.receipts.back() + "\n"));
    }
  }
}

}  // namespace

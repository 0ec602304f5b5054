// The example sales files shipped with cassard are what a newcomer copies first:
// each must run through against the simulated register and leave the files it asks for.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "rig.h"

namespace {

TEST(Examples, EveryShippedSalesFileRunsThrough) {
  struct Case {
    const char* file;
    std::vector<const char*> written;  // files the run must leave, not empty
  };
  const Case cases[] = {
      {"vendite.ECR", {"vendite.fis", "JOURNAL"}},
      {"scontrino.ECR", {}},
      {"pagamenti.ECR", {}},
      {"testi.ECR", {}},
      {"rapporti.ECR", {}},
      {"scarichi.ECR", {"TOTALI", "TOTEXP", "GIORNALE", "GIORNALEHEX"}},
  };
  std::size_t seen = 0;
  for (const auto& e : std::filesystem::directory_iterator(CASSARD_EXAMPLES))
    if (e.path().extension() == ".ECR") ++seen;
  EXPECT_EQ(seen, std::size(cases)) << "a new example needs its row here";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    rig::Rig rig;
    std::ifstream in(std::filesystem::path(CASSARD_EXAMPLES) / c.file, std::ios::binary);
    ASSERT_TRUE(in) << "missing example";
    std::stringstream sales;
    sales << in.rdbuf();
    const rig::Run run = rig.cassard(sales.str(), std::chrono::seconds(60), c.file);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_EQ(rig.dumpLog(), "");
    for (const std::string& line : rig.record())
      EXPECT_EQ(line.find(' '), std::string::npos) << "refused by the register: " << line;
    for (const char* name : c.written) EXPECT_NE(rig.file(name), "") << name;
  }
}

}  // namespace

// cassard --check as the host developer runs it: no banner, no line, no register; the
// shipped examples are clean and the file made wrong on purpose is not.

#include <gtest/gtest.h>

#include <filesystem>

#include "rig.h"

namespace {

TEST(CheckOption, ExamplesAreCleanAndTheBrokenFileIsNot) {
  rig::Rig rig;
  for (const auto& e : std::filesystem::directory_iterator(CASSARD_EXAMPLES)) {
    if (e.path().extension() != ".ECR") continue;
    SCOPED_TRACE(e.path().filename());
    const rig::Run run = rig.cassardApart({"--check", e.path().string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(run.errors, "");
  }

  const std::filesystem::path data = std::filesystem::path(CASSARD_TEST_DATA) / "check";
  std::filesystem::copy_file(data / "broken.ECR", rig.dir() / "broken.ECR");
  // The run's other arguments may follow: only the sales file is read.
  const rig::Run broken = rig.cassardApart({"--check", "broken.ECR", rig.link()});
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.console, rig::slurp(data / "broken.findings"));
  EXPECT_EQ(broken.errors, "");

  const rig::Run missing = rig.cassardApart({"--check", "missing.ECR"});
  EXPECT_EQ(missing.status, 255);
  EXPECT_EQ(missing.console, "");
  EXPECT_EQ(missing.errors, "cassard: cannot read missing.ECR: No such file or directory\n");

  EXPECT_TRUE(rig.record().empty()) << "the register saw nothing";
  EXPECT_EQ(rig.dumpLog(), "");
}

}  // namespace

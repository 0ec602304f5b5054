// A host developer's own profile, kept in a folder of its own, based on a profile beside
// it: found wherever ecrsim is started from, and a missing base named by the path tried.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "rig.h"

namespace {

namespace fs = std::filesystem;

TEST(ProfileBase, FoundBesideTheProfileAndNamedWhenMissing) {
  const fs::path dir = fs::temp_directory_path() / ("cassard-base-" + std::to_string(getpid()));
  fs::create_directories(dir / "mine");
  std::ofstream(dir / "mine" / "shop.json") << R"({"base": "default.json", "name": "shop"})";

  // ecrsim started from another folder: the base is looked up beside shop.json only.
  const std::string run = "cd " + dir.string() + " && " ECRSIM_BIN " --link " +
                          (dir / "ecr").string() + " --profile mine/shop.json 2>&1";
  FILE* p = popen(run.c_str(), "r");
  ASSERT_TRUE(p);
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = pclose(p);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(out,
            "ecrsim: mine/shop.json: base \"default.json\" is looked up in the folder of "
            "the profile that names it: cannot read " +
                (dir / "mine" / "default.json").string() + "\n");

  fs::copy_file(fs::path(CASSARD_TEST_DATA) / "profiles" / "default.json",
                dir / "mine" / "default.json");
  rig::Rig rig((dir / "mine" / "shop.json").string());
  EXPECT_EQ(rig.cassard(sales::line("99")).status, 0) << rig.ecrsimErrors();
  fs::remove_all(dir);
}

}  // namespace

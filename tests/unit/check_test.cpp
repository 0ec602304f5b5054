// cassard --check: the file made wrong on purpose gives exactly its expected findings,
// and the lines the register takes as written give none.

#include "driver/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Checked {
  long count;
  std::string out;
};

Checked check(FILE* in) {
  char* buf = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&buf, &size);
  const long count = checkSalesFile(in, "f", out);
  std::fclose(out);
  Checked c{count, std::string(buf, size)};
  std::free(buf);
  return c;
}

Checked check(const std::string& content) {
  FILE* in = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
  const Checked c = check(in);
  std::fclose(in);
  return c;
}

TEST(Check, FindsEveryMistakeOfTheBrokenFile) {
  FILE* in = std::fopen(CASSARD_TEST_DATA "/check/broken.ECR", "r");
  ASSERT_TRUE(in);
  const Checked c = check(in);
  std::fclose(in);
  std::ifstream findings(CASSARD_TEST_DATA "/check/broken.findings");
  std::stringstream expected;
  expected << findings.rdbuf();
  std::string want = expected.str();
  for (std::size_t at = 0; (at = want.find("broken.ECR:", at)) != std::string::npos;)
    want.replace(at, 10, "f");
  EXPECT_EQ(c.out, want);
  EXPECT_EQ(c.count, static_cast<long>(std::count(want.begin(), want.end(), '\n')));
}

TEST(Check, EdgesOfTheColumns) {
  const std::string pad35(35, ' ');
  const std::string amount = "000000120";
  struct Case {
    std::string line;
    std::string finding;  // "" when the line is taken as written
  };
  // clang-format off
  const Case cases[] = {
      {"01" + pad35 + amount + " 5\n", ""},
      {"01" + pad35 + amount + "5 \n", ""},
      {"01" + pad35 + amount + "5\r\n", ""},
      {"01" + pad35 + amount + "5", "f:1:48: line too short for record \"01\""},
      {"01" + pad35 + amount + "00\n", ""},
      {"01" + pad35 + amount + "-1\n", "f:1:47: department -1 is outside 0-30"},
      {"01" + pad35 + amount + " \n", "f:1:47: department column \" \" is not a number"},
      {"01" + pad35 + "00012.500" + "01\n", ""},
      {"03" + pad35 + amount + "15\n", ""},
      {"03" + pad35 + amount + "00\n", "f:1:47: operator 00 is outside 1-15"},
      {"HL" + pad35 + amount + "150\n", "f:1:47: count 150 is above 99"},
      {"HL" + pad35 + amount + "-5\n", ""},
      {"52" + pad35 + amount + "-1\n", "f:1:47: number -1 is outside 0-255"},
      {"55.-" + std::string(33, ' ') + amount + "10\n", "f:1:3: download file name \".\""},
      {"81" + pad35 + "00000\x01" "000" + "01\n", "f:1:43: amount column: byte 0x01"},
      {"81" + pad35 + amount + "0\x7F\n", "f:1:48: number column: byte 0x7F"},
      {"DY" + pad35 + amount + "1\n", "f:1:48: line too short for record \"DY\""},
      {"DY" + pad35 + amount + "1 \n", ""},
      {"DY" + pad35 + amount + ":3\n", ""},
      {"83" + pad35 + amount + "  \n", ""},
      {"83" + pad35 + amount + "7 \n", "f:1:47: number column \"7 \" is not two digits"},
      {"75\n", ""},
      {"", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Checked r = check(c.line.empty() ? std::string(1, '\n') : c.line);
    if (c.finding.empty()) {
      EXPECT_EQ(r.out, "");
    } else {
      EXPECT_EQ(r.out.rfind(c.finding, 0), 0u) << r.out;
      EXPECT_EQ(r.count, 1);
    }
  }
}

}  // namespace

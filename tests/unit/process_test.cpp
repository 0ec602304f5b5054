// The failure line, the files a run creates, download names and incomplete last lines.

#include "protocol/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "download/download.h"
#include "driver/main.h"
#include "ecrconf/ecrconf.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

TEST(FailureLine, OneLineTheHostCanSplit) {
  struct Case {
    const char* file;
    long line;
    const char* description;
    int code;
    std::size_t room;
    const char* expected;
  };
  const Case cases[] = {
      {"vendite.ECR", 3, "Comando non accettato\n", 18, 512,
       "cassard: vendite.ECR:3: Comando non accettato (exit 18)\n"},
      {"CASSARD00.ECR", 0, "Impossibile aprire la porta seriale\n", -1, 512,
       "cassard: CASSARD00.ECR:0: Impossibile aprire la porta seriale (exit 255)\n"},
      {"a", 12, "riga\r\ncon\ttab \xE8  \n\n", 143, 512,
       "cassard: a:12: riga  con tab \xE8 (exit 143)\n"},
      {"a", 1, "", 2, 512, "cassard: a:1:  (exit 2)\n"},
      {"v", 3, "Comando non accettato", 18, 32, "cassard: v:3: Comand (exit 18)\n"},
  };
  for (const Case& c : cases) {
    char out[512];
    const std::size_t len = FormatFailureLine(c.file, c.line, c.description, c.code, out, c.room);
    EXPECT_STREQ(out, c.expected) << c.description;
    EXPECT_EQ(len, std::strlen(c.expected));
  }
  // A long file name and description give way to the end a host looks for.
  char out[512];
  const std::string name(254, 'n'), text(600, 'x');
  const std::size_t len = FormatFailureLine(name.c_str(), 7, text.c_str(), 18, out, sizeof out);
  EXPECT_EQ(len, sizeof out - 1);
  EXPECT_EQ(std::string(out).substr(len - 11), " (exit 18)\n");
}

class Files : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* n : {"out", "link", "victim", "fifo", "dangling", "adir"}) {
      unlink(n);
      rmdir(n);
    }
  }
};

TEST_F(Files, CreatedNeverThroughALinkAndOnlyAsRegularFiles) {
  writeFile("victim", "keep");
  ASSERT_EQ(symlink("victim", "link"), 0);
  ASSERT_EQ(symlink("nowhere", "dangling"), 0);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  ASSERT_EQ(mkdir("adir", 0700), 0);
  struct Case {
    const char* name;
    const char* mode;
    bool opens;
  };
  const Case cases[] = {
      {"out", "w", true},       {"out", "a", true},   {"link", "a", false}, {"link", "w+", false},
      {"dangling", "w", false}, {"fifo", "a", false}, {"adir", "a", false}, {"out", "r", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.mode);
    FILE* f = CreateOutputFile(c.name, c.mode);
    EXPECT_EQ(f != nullptr, c.opens);
    if (f) {
      std::fputs("x", f);
      std::fclose(f);
    }
  }
  EXPECT_EQ(readFile("out"), "xx") << "\"a\" appends to what \"w\" created";
  EXPECT_EQ(readFile("victim"), "keep");
  EXPECT_NE(access("nowhere", F_OK), 0) << "no file created at a dangling link's target";
}

TEST(DownloadNames, OnlyPlainNamesOfTheWorkingDirectory) {
  for (const char* ok : {"GIORNALE", "a.txt", "...", ".nascosto", "con spazi"})
    EXPECT_TRUE(PlainFileName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../x", "/etc/passwd", "dir/", "a/b"})
    EXPECT_FALSE(PlainFileName(bad)) << bad;
}

TEST(DownloadNames, RefusedBeforeTheOpeningCommand) {
  freshStart();
  ScriptedEcr ecr;
  for (const char* name : {"../GIORNALE     ", "..-", ".-", "a/b-"}) {
    SCOPED_TRACE(name);
    int code = 0;
    EXPECT_TRUE(
        contains(stdoutOf([&] { code = fake::exitCodeOf([&] { DoDownloadExp(name, "00"); }); }),
                 OUTPUT_OPEN_ERROR_TEXT));
    EXPECT_EQ(code, -1);
  }
  EXPECT_TRUE(ecr.realCommands().empty());
}

// The last line of a file still being written: acted on only when every column its
// code reads is there.
TEST(SalesLines, IncompleteLastLine) {
  struct Case {
    std::string line;
    bool incomplete;
  };
  const std::string sale = "01" + std::string(35, 'P') + "000000250" + "01";  // 48
  const std::string amount = "10" + std::string(35, ' ') + "000000250";       // 46
  // "01" cut to 47 characters but with its line end is complete as written, though short.
  // clang-format off
  const Case cases[] = {
      {sale, false}, {sale + "\n", false}, {sale.substr(0, 47), true},
      {sale.substr(0, 47) + "\n", false}, {"01PANE", true}, {amount, false},
      {amount.substr(0, 45), true}, {"99", false}, {"9", true}, {"\r", true}, {"11", false},
      {"04" + std::string(35, 'T'), false}, {"04" + std::string(34, 'T'), true},
      {"75CIAO MONDO", false}, {"75CIAO", true}, {"75" + std::string(16, 'W'), false},
      {"DY" + std::string(44, ' ') + "1", true}, {"55GIORNALE-", true}, {"zz", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    LineBuffer line{};
    std::memcpy(line.data(), c.line.data(), c.line.size());
    EXPECT_EQ(incompleteLastLine(line, c.line.size()), c.incomplete) << c.line;
  }
  // A narrower register reads a shorter description.
  MAX_DESC_LEN = 20;
  LineBuffer line{};
  std::memcpy(line.data(), "04ABCDEFGHIJKLMNOPQRST", 22);
  EXPECT_FALSE(incompleteLastLine(line, 22));
  MAX_DESC_LEN = _DESC_LEN;
}

}  // namespace

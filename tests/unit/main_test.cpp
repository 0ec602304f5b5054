// The run: reading and widening sales lines, the fiscal report name, and whole runs
// of the driver against the scripted register.

#include "driver/main.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "ecrconf/ecrconf.h"
#include "protocol/process.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

FILE* fileWith(const std::string& content) {
  FILE* f = std::tmpfile();
  std::fwrite(content.data(), 1, content.size(), f);
  std::rewind(f);
  return f;
}

std::string text(const LineBuffer& line, std::size_t len) {
  return std::string(line.data(), len);
}

TEST(SalesLines, Reading) {
  LineBuffer line;
  FILE* f = fileWith("01AB\r\n\n" + std::string(300, 'x') + "\r\n" + std::string(254, 'y') +
                     std::string("\nZZ\0Q\nlast", 10));
  SalesLine r = readSalesLine(f, line);
  EXPECT_EQ(text(line, r.len), "01AB\r\n");
  r = readSalesLine(f, line);
  EXPECT_EQ(text(line, r.len), "\n");
  EXPECT_EQ(line[1], '\0') << "the buffer is cleared: nothing of the longer line before";
  r = readSalesLine(f, line);
  EXPECT_EQ(r.len, 254u);
  EXPECT_TRUE(r.truncated);
  r = readSalesLine(f, line);
  EXPECT_EQ(r.len, 254u) << "the tail of the long line is no line of its own";
  EXPECT_EQ(line[0], 'y');
  EXPECT_FALSE(r.truncated) << "only the line end was left over";
  r = readSalesLine(f, line);
  EXPECT_EQ(r.len, 5u) << "a NUL byte is part of the line";
  r = readSalesLine(f, line);
  EXPECT_EQ(text(line, r.len), "last");
  EXPECT_EQ(readSalesLine(f, line).result, LineRead::End);
  std::fclose(f);
}

TEST(SalesLines, ReadErrorIsNoEndOfFile) {
  FILE* dir = std::fopen(".", "r");
  ASSERT_NE(dir, nullptr);
  LineBuffer line;
  EXPECT_EQ(readSalesLine(dir, line).result, LineRead::Error);
  std::fclose(dir);
}

TEST(SalesLines, ShortFormWidening) {
  struct Case {
    const char* legend;
    std::string in;
    std::string out;
  };
  const std::string desc16 = "CAFFE           ";
  const Case cases[] = {
      {"28 characters: as read", std::string(27, 'a') + "\n", std::string(27, 'a') + "\n"},
      {"34 characters: as read", std::string(33, 'a') + "\n", std::string(33, 'a') + "\n"},
      {"item sale, LF", "01" + desc16 + "000000150" + "03\n",
       "01" + desc16 + std::string(19, ' ') + "000000150" + "03\n"},
      {"item sale, CR LF", "01" + desc16 + "000000150" + "03\r\n",
       "01" + desc16 + std::string(19, ' ') + "000000150" + "03\r\n"},
      {"04 keeps its 27-character text", "04" + std::string(27, 'T') + "\n",
       "04" + std::string(27, 'T') + std::string(19, ' ') + "\n"},
      {"04 of 29 with the line end at column 28", "04" + std::string(26, 'T') + "\n",
       "04" + std::string(26, 'T') + "\n" + std::string(19, ' ')},
      {"33 characters", "99" + std::string(30, ' ') + "\n",
       "99" + std::string(16, ' ') + std::string(19, ' ') + std::string(14, ' ') + "\n"},
  };
  for (const auto& c : cases) {
    LineBuffer line{};
    std::memcpy(line.data(), c.in.data(), c.in.size());
    const std::size_t len = widenShortForm(line, c.in.size());
    EXPECT_EQ(text(line, len), c.out) << c.legend;
  }
}

TEST(SalesLines, FiscalReportNames) {
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"CASSARD00.ECR", "CASSARD00.fis"}, {"vendite", "vendite.fis"},
      {"dati/CASSARD00.ECR", "dati/CASSARD00.fis"}, {"./x.ECR", "./x.fis"},
      {"../x.ECR", "../x.fis"}, {"dati.v2/x.ECR", "dati.v2/x.fis"}, {"a.b.c", "a.fis"},
  };
  // clang-format on
  char out[NAME_MAX_LEN + 1];
  for (auto [in, expected] : cases) {
    ASSERT_TRUE(fiscalReportName(in, out, sizeof out)) << in;
    EXPECT_STREQ(out, expected) << in;
  }
  EXPECT_FALSE(fiscalReportName(std::string(252, 'n').c_str(), out, sizeof out));
}

TEST(SalesLines, FiscalRecords) {
  for (const char* code : {"12", "13", "23", "24"}) {
    LineBuffer line{};
    std::memcpy(line.data(), code, 2);
    EXPECT_TRUE(isFiscalRecord(line)) << code;
  }
  for (const char* code : {"11", "14", "1", "", "2"}) {
    LineBuffer line{};
    std::memcpy(line.data(), code, std::strlen(code));
    EXPECT_FALSE(isFiscalRecord(line)) << code;
  }
}

// ---- whole runs in process: a pty stands for the device, the fake port for the line

class Run : public testing::Test {
 protected:
  void SetUp() override {
    freshStart();
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    device_ = name;
    fake::setPeer(&ecr_);
    ecr_.responder = [](std::span<const uint8_t> cmd) -> EcrAnswer {
      if (cmd[0] == 'T') {
        Bytes ident(76, 0);
        std::memcpy(ident.data(), "AB12345678", 10);
        std::memcpy(ident.data() + 10, "2.50                ", 20);
        const uint8_t when[] = {0x31, 0x12, 0x09, 0x23, 0x59, 0x58};
        std::memcpy(ident.data() + 30, when, 6);
        std::memcpy(ident.data() + 68, "2XYZ0012", 8);
        return {'T', ident};
      }
      return {'S', {0, 0, 0}};
    };
  }
  void TearDown() override {
    if (FOpenPort >= 0) close(FOpenPort);
    if (fileo) std::fclose(fileo);
    fileo = nullptr;
    close(slave_);
    close(master_);
  }
  int run(const std::string& sales, const char* salesName = "vendite.ECR") {
    if (!sales.empty() || salesName == std::string("vendite.ECR")) {
      writeFile(salesName, sales);
    }
    return cassard({salesName, device_, "38400,N,8,1"});
  }
  // cassardMain with these arguments; its console in console_.
  int cassard(std::vector<std::string> args) {
    args.insert(args.begin(), "cassard");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int code = 0;
    console_ = stdoutOf([&] {
      code = fake::exitCodeOf([&] { cassardMain(static_cast<int>(args.size()), argv.data()); });
    });
    return code;
  }
  int master_ = -1, slave_ = -1;
  std::string device_, console_;
  ScriptedEcr ecr_;
};

TEST_F(Run, EmptySalesFileIdentifiesAndCloses) {
  EXPECT_EQ(run(""), 0);
  EXPECT_EQ(ecr_.realCommands(), (std::vector<Bytes>{{'T'}, {'H', 0}}));
  EXPECT_EQ(console_.substr(0, 58), "\nDriver Registratori di cassa Molvex, versione 4.0.8 'HT'\n");
  EXPECT_TRUE(contains(
      console_, "Qusta \xE8 una versione beta non va utilizzata in ambienti di produzione\n"));
  const std::string final = "\nIl programma e stato terminato correttamente.\n\n";
  EXPECT_EQ(console_.substr(console_.size() - final.size()), final);
  EXPECT_FALSE(fileExists("vendite.fis")) << "no fiscal report without a fiscal record";
}

TEST_F(Run, StartUpFailures) {
  EXPECT_EQ(run("", "missing.ECR") & 0xff, 0xff);
  EXPECT_TRUE(contains(console_, "Impossibile aprire il file di input\n"));
  device_ = "/nonexistent/ca300";
  EXPECT_EQ(run("", "missing.ECR"), -1);
  EXPECT_TRUE(contains(console_, "Impossibile aprire la porta seriale\n"))
      << "the serial failure comes first";
}

// The two options answer before the banner and never open the line: the device
// given after them is not even looked at.
TEST_F(Run, HelpAndVersionOpenNothing) {
  struct Case {
    const char* option;
    const char* start;
  };
  for (const Case c : {Case{"--version", "cassard 4.01\n"},
                       Case{"--help", "Usage: cassard [SALESFILE [DEVICE [SETTINGS]]]\n"}}) {
    SCOPED_TRACE(c.option);
    FOpenPort = -1;
    EXPECT_EQ(cassard({c.option, device_}), 0);
    EXPECT_EQ(console_.rfind(c.start, 0), 0u) << console_;
    EXPECT_EQ(FOpenPort, -1);
    EXPECT_TRUE(ecr_.realCommands().empty());
  }
}

TEST_F(Run, ReadErrorEndsWithoutClosingCommand) {
  mkdir("adir", 0700);
  EXPECT_EQ(run("", "adir"), -1);
  EXPECT_TRUE(contains(console_, "Errore in lettura del file di input\n"));
  EXPECT_EQ(ecr_.realCommands(), (std::vector<Bytes>{{'T'}}));
  EXPECT_FALSE(contains(console_, "terminato correttamente"));
  rmdir("adir");
}

TEST_F(Run, OverLongLineIsWarnedAndCut) {
  EXPECT_EQ(run(std::string(300, 'Q') + "\n"), 0);
  EXPECT_TRUE(contains(console_, "Riga troppo lunga: parte eccedente ignorata"));
}

TEST_F(Run, TwoFiscalRecordsRecreateTheReport) {
  const std::string line12 = "12" + std::string(35, ' ') + "000000000" + "  \n";
  // This register answers no memory read, so the load at the end of the run refuses
  // it; what was written before stays on disk.
  EXPECT_EQ(run(line12 + line12), -1);
  EXPECT_TRUE(contains(console_, "Risposta dell'ECR troppo corta"));
  const std::string report = readFile("vendite.fis");
  EXPECT_EQ(report.find("[FISCALI]\n"), 0u);
  EXPECT_EQ(report.find("[FISCALI]\n", 1), std::string::npos) << "created anew, not appended";
  EXPECT_TRUE(contains(report, "MF_FULL=AB12345678\n"));
}

// A signal lets the exchange in progress finish and sends nothing after it; the report
// says how far the line got.
TEST_F(Run, SignalFinishesTheExchangeAndSendsNothingMore) {
  struct Case {
    int signo;
    std::size_t during;  // the command (1 for the first) the signal comes in
    int code;
    const char* description;
  };
  const Case cases[] = {
      {SIGTERM, 1, 143, "Interrotto dal segnale SIGTERM prima della prima riga"},
      {SIGINT, 4, 130, "Interrotto dal segnale SIGINT: riga 2 eseguita solo in parte: 01PANE"},
      {SIGHUP, 5, 129,
       "Interrotto dal segnale SIGHUP: riga 2 eseguita per intero, nessuna successiva: 01PANE"},
      {SIGTERM, 9, 0, nullptr},  // the closing command: nothing was left to send
  };
  const std::string sales = "03" + std::string(44, ' ') + "05\n" + "01PANE" + std::string(31, ' ') +
                            "000000250" + "01\n" + "11\n" + "99\n";
  const auto answer = ecr_.responder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.during);
    freshStart();
    ScriptedEcr ecr;  // a register of its own for each run
    std::size_t seen = 0;
    ecr.responder = [&](std::span<const uint8_t> cmd) {
      if (cmd[0] != 'I' && ++seen == c.during) NoteSignal(c.signo);
      return answer(cmd);
    };
    std::remove("dump0315.log");
    EXPECT_EQ(run(sales), c.code);
    close(FOpenPort);  // the next run locks the line afresh
    EXPECT_EQ(ecr.realCommands().size(), c.during) << "the exchange finished, nothing after it";
    const std::string dump = readFile("dump0315.log");
    if (c.description) {
      EXPECT_TRUE(contains(dump, std::string("\nDescrizione: ") + c.description)) << dump;
      EXPECT_TRUE(contains(console_, c.description));
    } else {
      EXPECT_EQ(dump, "");
    }
  }
}

TEST_F(Run, IncompleteLastLineIsNotActedOn) {
  const std::string signOn = "03" + std::string(44, ' ') + "05\n";
  EXPECT_EQ(run(signOn + "01PANE"), -1);
  close(FOpenPort);  // the next run locks the line afresh
  EXPECT_TRUE(contains(console_, "Riga incompleta"));
  EXPECT_EQ(ecr_.realCommands().size(), 3u) << "identification and the sign-on only";
  EXPECT_TRUE(contains(readFile("dump0315.log"), "Ultimo comando: 01PANE\nDump"));
  // The short form of a sale lacking only its line end is complete once widened.
  freshStart();
  ScriptedEcr ecr;
  ecr.responder = ecr_.responder;
  EXPECT_EQ(run(signOn + "01PANE            000000250" + "01"), 0);
  EXPECT_EQ(ecr.realCommands().size(), 6u);
}

}  // namespace

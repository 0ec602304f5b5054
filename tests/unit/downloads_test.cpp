// The four downloads against a scripted register: the commands on the line, the
// download file, the console progress, the open modes and every refusal.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "download/download.h"
#include "driver/main.h"
#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kOpening{'H', 0x01};
const Bytes kClosing{'H', 0x00};
const Bytes kJournalRequest{'U', 0x00, 0x0A};
const Bytes kEndOfJournal{0x07};

const std::string kClearScreen(40, '\n');

// A sales line as the driver hands it over: zero-filled, description and number
// columns where the record table finds them.
struct SalesLine {
  LineBuffer buf{};
  SalesLine(const std::string& descr, const std::string& rep) {
    std::memcpy(buf.data(), "55", 2);
    std::memcpy(buf.data() + recvend::descr, descr.data(), descr.size());
    std::memcpy(buf.data() + recvend::rep, rep.data(), rep.size());
  }
  const char* name() const { return buf.data() + recvend::descr; }
  const char* mode() const { return buf.data() + recvend::rep; }
};

class Download : public testing::Test {
 protected:
  struct Fresh {
    Fresh() { freshStart(); }
  } fresh_;
  ScriptedEcr ecr;

  // The register's expansion journal: the records still to be read.
  std::deque<Bytes> journal;
  // Register memory for the memory reads, 16-bit addressed.
  std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000, 0);
  Bytes identification;
  // Expansion total records by number, without their state byte.
  std::function<Bytes(uint8_t)> totalRecord = [](uint8_t n) { return Bytes{0x00, n}; };

  void SetUp() override {
    ecr.responder = [this](std::span<const uint8_t> cmd) -> EcrAnswer {
      const Bytes c(cmd.begin(), cmd.end());
      if (c == kJournalRequest) {
        if (journal.empty()) return {'U', kEndOfJournal};
        Bytes answer{0x00};
        answer.insert(answer.end(), journal.front().begin(), journal.front().end());
        journal.pop_front();
        return {'U', answer};
      }
      if (c.size() == 4 && c[0] == 'U' && c[2] == 0x13) return {'U', totalRecord(c[3])};
      if (c.size() == 1 && c[0] == 'T') return {'T', identification};
      if (c.size() == 4 && c[0] == 'D') {
        const std::size_t addr = c[1] | (c[2] << 8);
        Bytes data;
        for (std::size_t k = 0; k < c[3]; ++k) data.push_back(memory[(addr + k) & 0xFFFF]);
        return {'D', data};
      }
      return {'S', {0, 0, 0}};
    };
  }

  using Fn = void (*)(const char*, const char*);
  // Runs a download for the sales line naming file and rep and returns its console;
  // with code it must end the run, and code gets the exit code.
  static std::string download(Fn fn, const std::string& file, const char* rep,
                              int* code = nullptr) {
    const SalesLine line(file, rep);
    return stdoutOf([&] {
      if (code)
        *code = fake::exitCodeOf([&] { fn(line.name(), line.mode()); });
      else
        fn(line.name(), line.mode());
    });
  }

  void put(std::size_t addr, const Bytes& b) {
    for (std::size_t k = 0; k < b.size(); ++k) memory[(addr + k) & 0xFFFF] = b[k];
  }
};

// ---------------------------------------------------------------- expansion journal

const Bytes kSale{0x02, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A};
const Bytes kReport{0x49, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};

TEST_F(Download, JournalLineFormatAndOpenModeFollowTheNumberColumn) {
  const std::string hexLines = "02101112131415161718191A\n4910111213141516\n";
  const std::string formattedLines =
      "VE|10|1112131415|161718191A|\nA9|1011|1213141516|0000000000|\n";
  struct Case {
    const char* rep;
    bool formatted;
    bool truncates;
  };
  // Only '1' first selects formatted lines; only '0' second truncates.
  const Case cases[] = {{"10", true, true},   {"00", false, true},  {"11", true, false},
                        {"01", false, false}, {"0 ", false, false}, {"  ", false, false},
                        {"20", false, true},  {"1\r", true, false}};
  int k = 0;
  for (const Case& c : cases) {
    const std::string name = "JMODE" + std::to_string(k++);
    writeFile(name, "old\n");
    journal = {kSale, kReport};
    download(DoDownloadExp, name, c.rep);
    EXPECT_EQ(readFile(name),
              (c.truncates ? "" : "old\n") + (c.formatted ? formattedLines : hexLines))
        << "rep column '" << c.rep << "'";
  }
}

TEST_F(Download, JournalOfFortyRecordsTakesFortyOneRequestsAndThreeDots) {
  std::string expected;
  for (int r = 0; r < 40; ++r) {
    journal.push_back({0x06, static_cast<uint8_t>(r)});
    char line[16];
    std::snprintf(line, sizeof line, "OP|%02X|\n", r);
    expected += line;
  }
  EXPECT_EQ(download(DoDownloadExp, "JFORTY", "10"),
            kClearScreen + "Lettura movimenti espansione.\n Attendere ...");

  EXPECT_EQ(readFile("JFORTY"), expected);
  std::vector<Bytes> want{kOpening};
  want.insert(want.end(), 41, kJournalRequest);
  want.push_back(kClosing);
  EXPECT_EQ(ecr.realCommands(), want);
  ASSERT_FALSE(fake::pauses().empty());
  EXPECT_EQ(fake::pauses().back().micros, 10000u) << "the 10 ms pause after the closing command";
}

TEST_F(Download, EmptyJournalTruncatesOrLeavesTheFile) {
  for (const char* rep : {"00", "01"}) {
    writeFile("JEMPTY", "kept\n");
    EXPECT_EQ(download(DoDownloadExp, "JEMPTY", rep),
              kClearScreen + "Lettura movimenti espansione.\n Attendere .");
    EXPECT_EQ(readFile("JEMPTY"), rep[1] == '0' ? "" : "kept\n") << rep;
  }
  EXPECT_EQ(ecr.realCommands(), std::vector<Bytes>({kOpening, kJournalRequest, kClosing, kOpening,
                                                    kJournalRequest, kClosing}));
}

TEST_F(Download, HexJournalWritesRecordsAsTheyCame) {
  journal = {{0x0A, 0xFF, 0x00}, {}, {0x44, 0x01}};
  download(DoDownloadExp, "JHEX", "00");
  // The answer 0x00 alone is a record of no bytes: a bare line feed.
  EXPECT_EQ(readFile("JHEX"), "0AFF00\n\n4401\n");
}

TEST_F(Download, FileNameEndsAtDashLineEndOrSixteenCharacters) {
  struct Case {
    const char* descr;
    const char* file;
  };
  const Case cases[] = {
      {"JOURNAL-2009", "JOURNAL"},
      {"NAME WITH SPACES    X", "NAME WITH SPACES"},
      {"SIXTEEN CHARS   -X", "SIXTEEN CHARS   "},
      {"SHORT\r\n", "SHORT"},
      {"LF\nMORE", "LF"},
  };
  for (const Case& c : cases) {
    journal = {{0x06, 0x01}};
    download(DoDownloadExp, c.descr, "00");
    EXPECT_EQ(readFile(c.file), "0601\n") << c.descr;
    std::remove(c.file);
  }
}

TEST_F(Download, UnopenableFileIsRefusedBeforeTheOpeningCommand) {
  mkdir("ADIR", 0700);
  for (const char* name : {"ADIR", "-2009", "", "\r\n"}) {
    for (Fn fn : {DoDownloadExp, DoDownloadInt, DoReadTotalsExp}) {
      int code = 0;
      EXPECT_TRUE(contains(download(fn, name, "00", &code), OUTPUT_OPEN_ERROR_TEXT));
      EXPECT_EQ(code, -1);
    }
  }
  EXPECT_TRUE(ecr.realCommands().empty());
}

TEST_F(Download, EmptyJournalAnswerIsShortNotAStaleRecord) {
  // Opening command, the first record, then an answer with no bytes at all.
  ecr.responder = [first = true](std::span<const uint8_t> cmd) mutable -> EcrAnswer {
    if (Bytes(cmd.begin(), cmd.end()) != kJournalRequest) return {'S', {0, 0, 0}};
    if (!first) return {'U', {}};
    first = false;
    Bytes a{0x00};
    a.insert(a.end(), kSale.begin(), kSale.end());
    return {'U', a};
  };
  int code = 0;
  EXPECT_TRUE(contains(download(DoDownloadExp, "JSHORT", "00", &code), SHORT_ANSWER_TEXT));
  EXPECT_EQ(code, -1);
  EXPECT_EQ(readFile("JSHORT"), "02101112131415161718191A\n");
  EXPECT_EQ(ecr.realCommands().back(), kJournalRequest) << "no closing command after a failure";
}

// The journal ends on the register's word only: a failing expansion memory, or more
// records than the memory can hold, end the run with the lines read kept.
TEST_F(Download, JournalThatNeverEndsIsCut) {
  struct Row {
    const char* legend;
    std::vector<Bytes> answers;  // to the journal requests; the last one repeats
    int32_t maxBytes;            // the descriptor's journal size
    bool loaded;                 // the descriptor was read
    int code;                    // 0: the download completes
    std::size_t lines;
  };
  const Bytes rec{0x00, 0x06, 0x01};
  // clang-format off
  const Row rows[] = {
      {"state 3 and no record after two records", {rec, rec, {0x03}}, 0, false, -1, 2},
      {"state 3 with a record is a record", {{0x03, 0x06, 0x01}, {0x07}}, 0, false, 0, 1},
      {"more records than the descriptor's bytes", {rec}, 3, true, -1, 3},
      {"a size from a descriptor not read is not used", {rec, rec, rec, rec, {0x07}}, 3, false, 0,
       4},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    EcrConf.iEMDCMaxByte = r.maxBytes;
    EcrConf.bEMDescLoaded = r.loaded;
    // Before it ends on its own, an endless journal gives up after 1000 requests.
    ecr.responder = [&r, n = std::size_t{0}](std::span<const uint8_t> cmd) mutable -> EcrAnswer {
      if (Bytes(cmd.begin(), cmd.end()) != kJournalRequest) return {'S', {0, 0, 0}};
      if (n >= 1000) return {'U', kEndOfJournal};
      return {'U', r.answers[std::min(n++, r.answers.size() - 1)]};
    };
    int code = 0;
    const std::string console = download(DoDownloadExp, "JENDLESS", "00", r.code ? &code : nullptr);
    EXPECT_EQ(code, r.code);
    const std::string file = readFile("JENDLESS");
    EXPECT_EQ(static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')), r.lines);
    EXPECT_EQ(console.find("Errore memoria di espansione") != std::string::npos, r.code != 0);
  }
}

TEST_F(Download, RefusedRequestEndsTheRunWithItsCode) {
  journal = {kSale};
  // The register refuses the second journal request with a missing operator.
  ecr.answers = {{'S', {0, 0, 0}}};
  ecr.responder = [n = 0](std::span<const uint8_t>) mutable -> EcrAnswer {
    if (n++ == 0) return {'U', Bytes{0x00, 0x06, 0x09}};
    return {'S', {0, '*', 0}};
  };
  int code = 0;
  EXPECT_TRUE(contains(download(DoDownloadExp, "JREFUSE", "00", &code), "Operatore non inserito"));
  EXPECT_EQ(code, 8);
  EXPECT_EQ(readFile("JREFUSE"), "0609\n");
}

// A download file appended to at the process's file size limit stands for a full
// disk: the buffered lines fail to go out when the file is closed.
TEST_F(Download, FullDiskIsAWriteErrorNotSuccess) {
  journal = {kSale};
  constexpr rlim_t kLimit = 1 << 20;
  std::ofstream("FULLDISK") << std::string(kLimit, 'x');
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  ASSERT_GE(old.rlim_max, kLimit);
  const auto oldXfsz = std::signal(SIGXFSZ, SIG_IGN);
  rlimit full = old;
  full.rlim_cur = kLimit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  int journalCode = 0, totalsCode = 0;
  const std::string journalConsole = download(DoDownloadExp, "FULLDISK", "01", &journalCode);
  const std::string totalsConsole = download(DoReadTotalsExp, "FULLDISK", "01", &totalsCode);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldXfsz);
  unlink("FULLDISK");
  EXPECT_EQ(journalCode, -1);
  EXPECT_TRUE(contains(journalConsole, OUTPUT_WRITE_ERROR_TEXT)) << journalConsole;
  EXPECT_EQ(totalsCode, -1);
  EXPECT_TRUE(contains(totalsConsole, OUTPUT_WRITE_ERROR_TEXT)) << totalsConsole;
}

// ---------------------------------------------------------------- internal totals

// Department records of 44 bytes: a 12-byte name, 3 flag bytes, 2 bytes, a 4-byte
// price, then three 5-byte totals (plus 5 bytes before them for brands '7' and 'F').
class InternalTotals : public Download {
 protected:
  void configure(int32_t departments, char brand) {
    EcrConf.iNumDPT = departments;
    EcrConf.iAdrDPT = 0x12345;
    EcrConf.iLnDPT = 44;
    EcrConf.iLnDPTName = 12;
    EcrConf.iLnDPTFlags = 3;
    EcrConf.iLnPLUPrice = 4;
    EcrConf.iLTS = 5;
    EcrConf.iAdrTOTG = 0x4000;
    EcrConf.iNumTOTG = 3;  // not used: fifteen totals are always read
    EcrConf.cCodMarca = brand;

    const std::size_t skip = (brand == '7' || brand == 'F') ? 14 : 9;
    for (int n = 0; n < departments; ++n) {
      const std::size_t rec = 0x2345 + static_cast<std::size_t>(n) * 44;
      char name[24];
      std::snprintf(name, sizeof name, "REPARTO %03d ", n + 1);
      put(rec, Bytes(name, name + 12));
      put(rec + 12, Bytes(skip, 0xEE));
      const auto d = static_cast<uint8_t>(n + 1);
      put(rec + 12 + skip,
          {d, 0x11, 0x22, 0x33, 0x44, d, 0x55, 0x66, 0x77, 0x88, d, 0x99, 0xAA, 0xBB, 0xCC});
    }
    // Every slot of the general totals block tells its own index.
    for (uint8_t slot = 0; slot < 40; ++slot)
      put(0x4000 + slot * 7u, {slot, 0x00, 0x90, 0x00, 0x00, 0x12, slot});

    identification = Bytes(36, 0x20);
    const std::string serial = "99MEY01234";
    std::copy(serial.begin(), serial.end(), identification.begin());
    const Bytes when{0x31, 0x12, 0x09, 0x23, 0x59, 0x58};
    std::copy(when.begin(), when.end(), identification.begin() + 30);
  }

  std::string run(const char* file, const char* rep, std::string* console = nullptr) {
    const std::string out = download(DoDownloadInt, file, rep);
    if (console) *console = out;
    return readFile(file);
  }
};

std::string departmentLine(int number) {
  char line[80];
  std::snprintf(line, sizeof line,
                "RE|%02d|REPARTO %03d |%02X11223344|%02X55667788|%02X99AABBCC|\n", number, number,
                number, number, number);
  return line;
}

const char* const kGeneralTotals =
    "TO|CA|0000|9000001200|\n"
    "TO|NE|0D00|900000120D|\n"
    "TO|LO|0E00|900000120E|\n"
    "TO|CO|0F00|900000120F|\n"
    "TO|CR|1000|9000001210|\n"
    "TO|AS|1100|9000001211|\n"
    "TO|BU|1200|9000001212|\n"
    "TO|CC|1300|9000001213|\n"
    "TO|SO|1E00|900000121E|\n"
    "TO|RE|2000|9000001220|\n"
    "TO|AN|2100|9000001221|\n"
    "TO|SA|2200|9000001222|\n"
    "TO|MA|2300|9000001223|\n"
    "TO|VO|2400|9000001224|\n"
    "TO|SC|2500|9000001225|\n";

const char* const kIdentificationLine = "IT|99MEY01234|311209|235958|\n";

TEST_F(InternalTotals, TwentyDepartmentsAndTheFifteenGeneralTotals) {
  configure(20, '1');
  std::string console;
  const std::string file = run("INT20", "00", &console);

  std::string expected = kIdentificationLine;
  for (int n = 1; n <= 20; ++n) expected += departmentLine(n);
  expected += kGeneralTotals;
  EXPECT_EQ(file, expected);
  EXPECT_EQ(console, kClearScreen + "Lettura totalizzatori espansione.\n Attendere ..");

  const auto cmds = ecr.realCommands();
  ASSERT_EQ(cmds.size(), 1u + 1 + 20 + 15 + 1);
  EXPECT_EQ(cmds.front(), kOpening);
  EXPECT_EQ(cmds[1], Bytes{'T'});
  // 0x12345 goes out cut to 16 bits; the next record 44 bytes on.
  EXPECT_EQ(cmds[2], (Bytes{'D', 0x45, 0x23, 44}));
  EXPECT_EQ(cmds[3], (Bytes{'D', 0x71, 0x23, 44}));
  EXPECT_EQ(cmds[22], (Bytes{'D', 0x00, 0x40, 7}));          // CA, index 0
  EXPECT_EQ(cmds[23], (Bytes{'D', 13 * 7, 0x40, 7}));        // NE, index 13
  EXPECT_EQ(cmds[36], (Bytes{'D', 37 * 7 - 256, 0x41, 7}));  // SC, index 37
  EXPECT_EQ(cmds.back(), kClosing);
}

TEST_F(InternalTotals, NoDepartmentsNoDots) {
  configure(0, '1');
  std::string console;
  EXPECT_EQ(run("INT0", "00", &console), std::string(kIdentificationLine) + kGeneralTotals);
  EXPECT_EQ(console, kClearScreen + "Lettura totalizzatori espansione.\n Attendere ");
}

TEST_F(InternalTotals, SomeBrandsKeepFiveMoreBytesBeforeTheTotals) {
  for (char brand : {'7', 'F', '1', 'f'}) {
    configure(1, brand);
    const std::string file = run("INTBRAND", "00");
    EXPECT_TRUE(contains(file, departmentLine(1))) << "brand " << brand;
  }
}

TEST_F(InternalTotals, DepartmentsPastNinetyNineKeepTheirNumber) {
  configure(101, '1');
  const std::string file = run("INT101", "00");
  EXPECT_TRUE(contains(file, departmentLine(99)));
  EXPECT_TRUE(contains(file, "RE|100|REPARTO 100 |"));
  EXPECT_TRUE(contains(file, "RE|101|REPARTO 101 |"));
}

// Unlike the journal, both totals downloads truncate only on "00".
TEST_F(InternalTotals, TotalsTruncateOnlyOnDoubleZero) {
  configure(0, '1');
  for (Fn fn : {DoDownloadInt, DoReadTotalsExp}) {
    std::string fresh;  // what the first run, "00", writes
    for (const char* rep : {"00", "01", "10", "  ", "0\r"}) {
      writeFile("TOTMODE", "old\n");
      download(fn, "TOTMODE", rep);
      const std::string got = readFile("TOTMODE");
      if (fresh.empty()) fresh = got;
      EXPECT_EQ(got, (std::string(rep) == "00" ? "" : "old\n") + fresh) << "'" << rep << "'";
    }
    EXPECT_FALSE(fresh.empty());
  }
}

TEST_F(InternalTotals, LengthsThatCannotFitARecordAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* legend;
    void (*spoil)(EcrConfStruct&);
  };
  const Case cases[] = {
      {"negative total length", [](EcrConfStruct& c) { c.iLTS = -1; }},
      {"total record over 200", [](EcrConfStruct& c) { c.iLTS = 199; }},
      {"negative department count", [](EcrConfStruct& c) { c.iNumDPT = -1; }},
      {"negative name length", [](EcrConfStruct& c) { c.iLnDPTName = -3; }},
      {"negative flags length", [](EcrConfStruct& c) { c.iLnDPTFlags = -9; }},
      {"negative price length", [](EcrConfStruct& c) { c.iLnPLUPrice = -1; }},
      {"department record over 200", [](EcrConfStruct& c) { c.iLnDPT = 201; }},
      {"fields one byte past the record", [](EcrConfStruct& c) { c.iLnDPT = 35; }},
      {"brand bytes push the totals out", [](EcrConfStruct& c) { c.cCodMarca = 'F'; }},
      {"huge lengths do not wrap", [](EcrConfStruct& c) { c.iLnDPTName = 0x7fffffff; }},
  };
  for (const Case& c : cases) {
    configure(3, '1');
    EcrConf.iLnDPT = 36;  // exactly name + skipped bytes + three totals
    c.spoil(EcrConf);
    int code = 0;
    EXPECT_TRUE(contains(download(DoDownloadInt, "INTBAD", "00", &code),
                         "Configurazione non valida per lo scarico totali"))
        << c.legend;
    EXPECT_EQ(code, -1) << c.legend;
  }
  EXPECT_TRUE(ecr.realCommands().empty());
  EXPECT_FALSE(fileExists("INTBAD"));

  // The same lengths with an exact fit are fine.
  configure(3, '1');
  EcrConf.iLnDPT = 36;
  EXPECT_TRUE(contains(run("INTFIT", "00"), departmentLine(1)));
}

TEST_F(InternalTotals, AnswersShorterThanAskedEndTheRun) {
  struct Case {
    const char* legend;
    Bytes cut;  // the command whose answer loses its last byte
  };
  const Case cases[] = {
      {"identification of 35 bytes", {'T'}},
      {"department record", {'D', 0x71, 0x23, 44}},
      {"general total", {'D', 13 * 7, 0x40, 7}},
  };
  for (const Case& c : cases) {
    configure(2, '1');
    auto full = ecr.responder;
    ecr.responder = [&](std::span<const uint8_t> cmd) {
      EcrAnswer a = full(cmd);
      if (Bytes(cmd.begin(), cmd.end()) == c.cut) a.data.pop_back();
      return a;
    };
    int code = 0;
    EXPECT_TRUE(contains(download(DoDownloadInt, "INTSHORT", "00", &code), SHORT_ANSWER_TEXT))
        << c.legend;
    EXPECT_EQ(code, -1) << c.legend;
    ecr.responder = full;
  }
}

// ---------------------------------------------------------------- expansion totals

TEST_F(Download, ExpansionTotalsAreThirtyThreeHexLines) {
  totalRecord = [](uint8_t n) -> Bytes {
    if (n == 1) return {0x00};              // no record bytes: a bare line feed
    if (n == 2) return {0x00, 0x12, 0xAB};  // the state byte is never written
    return {0x05, n, 0x00, 0xFF};
  };
  EXPECT_EQ(download(DoReadTotalsExp, "EXPTOT", "00"),
            kClearScreen + "Lettura totalizzatori interni.\n Attendere ..");

  std::string expected = "\n12AB\n";
  std::vector<Bytes> want{kOpening};
  for (int n = 1; n <= 33; ++n) {
    want.push_back({'U', 0x00, 0x13, static_cast<uint8_t>(n)});
    if (n < 3) continue;
    char row[16];
    std::snprintf(row, sizeof row, "%02X00FF\n", n);
    expected += row;
  }
  want.push_back(kClosing);
  EXPECT_EQ(readFile("EXPTOT"), expected);
  EXPECT_EQ(ecr.realCommands(), want);
}

TEST_F(Download, ExpansionTotalAnswerWithoutStateByteIsShort) {
  totalRecord = [](uint8_t n) -> Bytes { return n == 5 ? Bytes{} : Bytes{0x00, n}; };
  int code = 0;
  EXPECT_TRUE(contains(download(DoReadTotalsExp, "EXPSHORT", "00", &code), SHORT_ANSWER_TEXT));
  EXPECT_EQ(code, -1);
  EXPECT_EQ(readFile("EXPSHORT"), "01\n02\n03\n04\n");
}

TEST_F(Download, ClearSendsThreeCommandsAndPrintsNothing) {
  EXPECT_EQ(stdoutOf(DoClearTotalsExp), "");
  EXPECT_EQ(ecr.realCommands(), std::vector<Bytes>({kOpening, {'U', 0x00, 0x14}, kClosing}));
}

}  // namespace

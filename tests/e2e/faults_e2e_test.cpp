// The fault matrix: one row per misbehaviour of the register or the host's disk, each
// with the outcome a shop relies on: the exit status, the dump log's description, what
// is on disk, and the longest the run may take. A run that hangs is killed after
// twice its allowance and fails the row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "rig.h"

namespace {

// Sign-on, one item sale, a cash payment with the fiscal report, the end-of-sale
// check. The register's commands are numbered: 1 identification, 2 zero key,
// 3 operator, 4 zero key, 5 item sale, 6 identification for the fiscal report,
// 7 zero key, 8 payment, 9 status, 10 onwards the configuration load.
std::string sale() {
  return sales::line("03", "", "", "05") + sales::line("01", "PANE", "250", "01") +
         sales::line("12", "", "1000") + sales::line("99");
}

// The expansion journal, formatted, into the file JOURNAL; command 13 is the opening
// command and 14 onwards the journal requests.
std::string download() {
  return sales::line("55", "JOURNAL-2009", "", "10");
}

// A sale left open at the end-of-sale check.
std::string openSale() {
  return sales::line("03", "", "", "05") + sales::line("01", "PANE", "250", "01") +
         sales::line("99");
}

// The internal totals into the file TOTALI.
std::string totals() {
  return sales::line("60", "TOTALI-2026", "", "00");
}

enum class Sales { Sale, Download, OpenSale, Totals };
enum class Disk { Fine, FiscalReportLink, DownloadLink, DumpLogBlocked };

// No run writes more than this to the dump log, whatever the line carries.
constexpr std::size_t kDumpLogBudget = std::size_t{1} << 20;

struct Row {
  const char* name;  // test name
  std::vector<std::string> faults;
  Sales sales;
  int status;         // exit status as the host sees it (-1 is 255)
  const char* dump;   // description in the dump log; nullptr: no failure report
  double maxSeconds;  // the longest the run may take
  const char* profile = "default.json";
  Disk disk = Disk::Fine;
  std::size_t maxDump = kDumpLogBudget;  // bytes the run may add to the dump log
};

// Test names and failure messages show the row's name, not its bytes.
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

std::vector<std::string> faults(std::initializer_list<const char*> specs) {
  std::vector<std::string> args;
  for (const char* s : specs) {
    args.push_back("--fault");
    args.push_back(s);
  }
  return args;
}

// Waits the link specifies, rounded up: a silent answer byte costs about 6.3 s, a
// silent answer cycle 6.3 s more, a silent status request 3.3 s.
const Row kRows[] = {
    // Answer byte to the command frame.
    {"NackTwiceThenTaken", faults({"nack=2@5"}), Sales::Sale, 0, nullptr, 3},
    {"NackAsOftenAsTheRetries", faults({"nack=3@5"}), Sales::Sale, 2,
     "Time-Out ricezione, Seriale rumorosa?", 3},
    {"SkipTwiceThenTaken", faults({"skip=2@5"}), Sales::Sale, 0, nullptr, 5},
    {"SkipAsOftenAsTheRetries", faults({"skip=3@5"}), Sales::Sale, 2,
     "Time-Out ricezione, Seriale rumorosa?", 6},
    {"ErrRefusesForGood", faults({"err@5"}), Sales::Sale, 2,
     "Time-Out ricezione, Seriale rumorosa?", 3},
    // The register never took the command: its extended status names an older frame,
    // so no I request is sent and the run ends, whichever command of the receipt it
    // was (the operator, the item, the end-of-sale check, the closing command).
    {"NoAnswerByteCommandNotTaken", faults({"silent@5"}), Sales::Sale, 17, "Errore in ReadData",
     15},
    {"OperatorSignOnNotTaken", faults({"silent@3"}), Sales::Sale, 17, "Errore in ReadData", 15},
    {"EndOfSaleCheckNotTaken", faults({"silent@9"}), Sales::Sale, 17, "Errore in ReadData", 15},
    {"ClosingCommandNotTaken", faults({"silent@H"}), Sales::Sale, 17, "Errore in ReadData", 15},
    // A line that never falls quiet: 1,000 stray bytes a second for a minute after the
    // item sale's ACK. The reception ends at twice its silent length, the bytes read as
    // a critical status, and the run ends as on a silent register; the repeated
    // warnings are counted, not written.
    {"NoiseFloodAfterTheCommand", faults({"noise=60000@5"}), Sales::Sale, 4,
     "Errore in ReadData (rumore sulla linea)", 20, "default.json", Disk::Fine, 200'000},
    {"NoiseThenTheAnswer", faults({"noise=10000@5"}), Sales::Sale, 0, nullptr, 12, "default.json",
     Disk::Fine, 100'000},
    // Frames, or frame starts, instead of status bytes: ten in a row and the register
    // counts as not answering.
    {"FramesAtEveryStatusRequest", faults({"staframe=100000"}), Sales::Sale, 32,
     "Mancato collegamento con l'ECR (frame invece dello stato)", 4},
    {"LoneDleAtEveryStatusRequest", faults({"stadle=100000"}), Sales::Sale, 32,
     "Mancato collegamento con l'ECR (frame invece dello stato)", 4},
    // The end-of-sale check answered late, while the status is polled: the answer is
    // taken, and it says the sale is still open.
    {"LateAnswerDuringTheStatusPoll", faults({"late=7000@6"}), Sales::OpenSale, 99,
     "Transazione in corso", 12},
    // The answer frame.
    {"DamagedChecksumOnce", faults({"badsum@5"}), Sales::Sale, 0, nullptr, 3},
    {"DamagedChecksumTwice", faults({"badsum=2@5"}), Sales::Sale, 0, nullptr, 3},
    {"DamagedChecksumThreeTimes", faults({"badsum=3@5"}), Sales::Sale, 16,
     "Errore automa in ricezione", 3},
    {"StrayBytesBeforeTheFirstFrame", faults({"stray=5@1"}), Sales::Sale, 0, nullptr, 3},
    {"StrayBytesBetweenFrames", faults({"stray=3@5", "stray=7@8"}), Sales::Sale, 0, nullptr, 3},
    // Every byte of every answer 8.3 ms after the one before, as on a 1200-baud line.
    {"AnswersByteByByte", {"--pace", "1200"}, Sales::Sale, 0, nullptr, 20},
    // clang-format off
    {"AnswersByteByByteWithADamagedFrame", {"--pace", "1200", "--fault", "badsum@T"}, Sales::Sale,
     0, nullptr, 20},
    // clang-format on
    {"AnswerLateWithinTheWait", faults({"delay=3000@5"}), Sales::Sale, 0, nullptr, 7},
    {"AnswerLaterThanTheAnswerByteWait", faults({"delay=8000@5"}), Sales::Sale, 0, nullptr, 12},
    {"AnswerFrameOnlyOnTheIRequest", faults({"lose@5"}), Sales::Sale, 0, nullptr, 10},
    {"SilentAfterTheCommand", faults({"dead@5"}), Sales::Sale, 4, "Errore in ReadData", 20},
    {"SilentFromTheStart", faults({"dead"}), Sales::Sale, 32, "Mancato collegamento con l'ECR", 6},
    // The register's state.
    {"CriticalBriefly", faults({"critical=3@5"}), Sales::Sale, 0, nullptr, 3},
    {"CriticalForTenPolls", faults({"critical=10@5"}), Sales::Sale, 32,
     "Testa Sollevata o Fine Carta", 3},
    {"CriticalForGood", faults({"critical=100000@5"}), Sales::Sale, 32,
     "Testa Sollevata o Fine Carta", 3},
    {"BusyForGood", faults({"busy=100000@5"}), Sales::Sale, 0, nullptr, 3},
    // Refusals.
    {"AnswerE", faults({"E@5"}), Sales::Sale, 18, "Comando non accettato\n", 3},
    {"OperatorMissing", faults({"refuse=*@5"}), Sales::Sale, 8,
     " Operatore non inserito con programmato\n             obbligo inserimento operatore", 3},
    {"ChangeMissing", faults({"refuse=tab@8"}), Sales::Sale, 8, " Mancanza resto", 3},
    {"KeyPosition", faults({"refuse=K@5"}), Sales::Sale, 21, " Assetto Chiave errato,", 3},
    {"SaleStillOpenAtTheCheck", {}, Sales::OpenSale, 99, "Transazione in corso", 3},
    // Brands and registers cassard does not serve.
    {"BrandFive", {}, Sales::Sale, 255, "Marca non supportata", 3, "brand5.json"},
    {"BrandI", {}, Sales::Sale, 255, "Marca non supprtata", 3, "brandI.json"},
    {"OldEprom", {}, Sales::Sale, 255, "Eprom troppo vecchia", 3, "old_eprom.json"},
    {"OldFirmware", {}, Sales::Sale, 255, "Versione firmware datata", 3, "old_firmware.json"},
    // Answers shorter than their layout.
    {"ShortIdentification", faults({"short=5@T"}), Sales::Sale, 255,
     "Risposta dell'ECR troppo corta", 3},
    {"ShortMemoryRead", faults({"short@D"}), Sales::Sale, 255, "Risposta dell'ECR troppo corta", 3},
    {"ShortExpansionAnswer", faults({"short@U"}), Sales::Download, 255,
     "Risposta dell'ECR troppo corta", 3},
    // The expansion memory fails in the middle of the journal (state 3, no record): the
    // six records read stay in the file.
    {"JournalStateThree", faults({"journal=3@20"}), Sales::Download, 255,
     "Errore memoria di espansione", 3},
    // More than 127 departments: the count is unsigned.
    {"TwoHundredDepartments", {}, Sales::Totals, 0, nullptr, 5, "departments200.json"},
    // The line vanishes: the far end closes, reads and writes fail.
    {"LineGoneDuringASale", faults({"hangup@5"}), Sales::Sale, 8, "Errore in write su ReadIStatus",
     18},
    {"LineGoneDuringADownload", faults({"hangup@20"}), Sales::Download, 8,
     "Errore in write su ReadIStatus", 18},
    // A symbolic link where a file is created (here to /dev/full) is never followed;
    // a full disk itself is a unit test's (a file size limit).
    // clang-format off
    {"FiscalReportThroughALink", {}, Sales::Sale, 255, "Impossibile aprire il file di output\n", 3,
     "default.json", Disk::FiscalReportLink},
    {"DownloadThroughALink", {}, Sales::Download, 255, "Impossibile aprire il file di output\n", 3,
     "default.json", Disk::DownloadLink},
    // The dump log cannot be opened (a directory stands in its place): the console
    // message and the exit status still come.
    {"DumpLogCannotBeWritten", faults({"E@5"}), Sales::Sale, 18, "Comando non accettato\n", 3,
     "default.json", Disk::DumpLogBlocked},
    // clang-format on
};

class Faults : public testing::TestWithParam<Row> {};

TEST_P(Faults, EndsAsSpecified) {
  const Row& row = GetParam();
  rig::Rig rig(row.profile, row.faults);
  if (row.disk == Disk::FiscalReportLink) {
    ASSERT_EQ(symlink("/dev/full", (rig.dir() / "vendite.fis").c_str()), 0);
  }
  if (row.disk == Disk::DownloadLink) {
    ASSERT_EQ(symlink("/dev/full", (rig.dir() / "JOURNAL").c_str()), 0);
  }
  if (row.disk == Disk::DumpLogBlocked) {
    std::filesystem::create_directory(rig.dir() / rig::todaysDumpLog());
  }

  const std::string sales = row.sales == Sales::Sale       ? sale()
                            : row.sales == Sales::Download ? download()
                            : row.sales == Sales::Totals   ? totals()
                                                           : openSale();
  const auto start = std::chrono::steady_clock::now();
  const rig::Run run =
      rig.cassard(sales, std::chrono::milliseconds(static_cast<long>(row.maxSeconds * 2000)));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  ASSERT_FALSE(run.timedOut) << "hung; console:\n" << run.console;
  EXPECT_EQ(run.status, row.status) << run.console;
  EXPECT_LE(seconds, row.maxSeconds);

  const std::string dump = row.disk == Disk::DumpLogBlocked ? std::string() : rig.dumpLog();
  EXPECT_LE(dump.size(), row.maxDump);
  std::printf("%s: %.1f s, %zu bytes of dump log, %zu of console\n", row.name, seconds, dump.size(),
              run.console.size());
  if (row.dump && row.disk == Disk::DumpLogBlocked) {
    EXPECT_TRUE(contains(run.console, std::string("\nDescrizione: ") + row.dump)) << run.console;
    EXPECT_TRUE(
        contains(run.console, "Il protocollo ha risposto con: " + std::to_string(row.status)));
  } else if (row.dump) {
    // The report ends the dump log: description, exit code, end marker.
    const std::string tail = std::string("\nDescrizione: ") + row.dump;
    EXPECT_TRUE(contains(dump, tail)) << dump;
    const int code = row.status == 255 ? -1 : row.status;
    EXPECT_TRUE(
        contains(dump, "\nCodice di uscita: " + std::to_string(code) + " \nFine dump errore \n\n"))
        << dump;
    EXPECT_TRUE(contains(run.console, "Il protocollo ha risposto con: " + std::to_string(code)));
  } else {
    // Warnings may be reported; none of them ends the run. Those counted and not
    // written are named in a closing report.
    EXPECT_FALSE(contains(dump, "Codice di uscita")) << dump;
    if (dump.find("\nAvvisi non scritti: ") != std::string::npos) {
      EXPECT_TRUE(
          contains(dump, "\nDescrizione: Avvisi ripetuti non scritti\nAvvisi non scritti: "));
    }
    EXPECT_TRUE(contains(run.console, "Il programma e stato terminato correttamente."));
  }

  // Files on disk: a completed sale leaves the whole fiscal report, a failed one at
  // most the lines written before the failure, each of them complete.
  if (row.sales == Sales::Sale && row.disk == Disk::Fine) {
    const std::string fis = rig.file("vendite.fis");
    if (row.status == 0) {
      EXPECT_EQ(fis.rfind("[FISCALI]\n", 0), 0u) << fis;
      EXPECT_TRUE(contains(fis, "\nPROGRESSIVO_SCONTRINO=")) << fis;
    }
    EXPECT_TRUE(fis.empty() || fis.back() == '\n') << fis;
  }
  if (row.sales == Sales::Download && row.disk == Disk::Fine) {
    const std::string journal = rig.file("JOURNAL");
    EXPECT_TRUE(journal.empty() || journal.back() == '\n') << journal;
    if (row.dump && std::string(row.dump) == "Errore memoria di espansione") {
      EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 6) << journal;
    }
  }
  if (row.sales == Sales::Totals && row.status == 0) {
    EXPECT_TRUE(contains(rig.file("TOTALI"), "\nRE|200|")) << rig.file("TOTALI");
  }
  // The sale is delivered once or not at all: never twice, whatever was resent.
  int itemSales = 0;
  for (const std::string& c : rig.commands()) itemSales += c.rfind("412A", 0) == 0;
  EXPECT_LE(itemSales, 1);
}

INSTANTIATE_TEST_SUITE_P(Matrix, Faults, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace

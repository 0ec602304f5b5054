// Sales files a host should never write, and sometimes does: cassard reads each to the
// end or refuses it with its exit status, never crashes or hangs, and sends the valid
// lines among them exactly as it sends them alone.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kSignOn = sales::line("03", "", "", "05");
const std::string kSale = sales::line("01", "PANE", "250", "01");
const std::string kPay = sales::line("11");
const std::string kCheck = sales::line("99");

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
  return s;
}

bool cleanConsole(const rig::Run& run) {
  return run.console.find("AddressSanitizer") == std::string::npos &&
         run.console.find("runtime error") == std::string::npos;
}

// Each hostile file sends exactly what its valid part sends alone.
TEST(HostileSales, ReadToTheEndWithExactlyTheValidCommands) {
  struct Case {
    const char* legend;
    std::string sales;
    std::string valid;  // the lines cassard must act on, as a clean file
    const char* warning = nullptr;
  };
  const std::string longSale = kSale.substr(0, kSale.size() - 1);
  const std::string line300 = longSale + std::string(300 - longSale.size(), 'Y');
  const std::string line10k = longSale + std::string(10'000 - longSale.size(), 'X');
  const Case cases[] = {
      {"empty file", "", ""},
      {"only line ends", "\n\n\n\r\n\n", ""},
      {"CR LF line ends", replaceAll(kSignOn + kSale + kPay + kCheck, "\n", "\r\n"),
       kSignOn + kSale + kPay + kCheck},
      // Without a line feed the whole file is one line: its first record only.
      {"CR-only line ends", replaceAll(kSignOn + kSale + kPay + kCheck, "\n", "\r"), kSignOn},
      {"lower-case and unknown codes",
       sales::line("dy", "TESTO", "", "10") + sales::line("zz") + sales::line("1c") +
           sales::line("9") + kSignOn,
       kSignOn},
      // An over-long line is cut to its first 254 characters, with a warning.
      {"line of 300 characters", line300 + "\n" + kPay + kCheck,
       line300.substr(0, 254) + "\n" + kPay + kCheck,
       "Riga troppo lunga: parte eccedente ignorata"},
      {"line of 10000 characters", kSignOn + line10k + "\n" + kPay + kCheck,
       kSignOn + line10k.substr(0, 254) + "\n" + kPay + kCheck,
       "Riga troppo lunga: parte eccedente ignorata"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig reference;
    const rig::Run ref = reference.cassard(c.valid, std::chrono::seconds(30));
    ASSERT_EQ(ref.status, 0) << ref.console;

    rig::Rig rig;
    const rig::Run run = rig.cassard(c.sales, std::chrono::seconds(30));
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(cleanConsole(run)) << run.console;
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_EQ(rig.commands(), reference.commands());
    if (c.valid.empty()) {
      EXPECT_EQ(rig.commands(), (Lines{"54", "4800"}));
    }
    const std::string dump = rig.dumpLog();
    EXPECT_EQ(dump.find("Codice di uscita"), std::string::npos) << dump;
    if (c.warning) {
      EXPECT_NE(dump.find(c.warning), std::string::npos) << dump;
    }
  }
}

TEST(HostileSales, MalformedLinesNeverCrashOrCorruptTheFrames) {
  struct Case {
    const char* legend;
    std::string sales;
  };
  std::string lengths;
  const std::string full = kSale.substr(0, kSale.size() - 1) + "9999999999999";  // 60 characters
  for (std::size_t n = 0; n <= 60; ++n) lengths += full.substr(0, n) + "\n";
  std::string nul = kSale;
  nul[4] = '\0';
  nul[40] = '\0';
  std::string amounts = sales::line("01", "PANE", "", "01");
  amounts.replace(37, 9, "12A.-+ /9");
  std::mt19937 gen(20260315);
  std::string garbage(4096, '\0');
  for (char& ch : garbage) ch = static_cast<char>(gen() & 0xff);
  const Case cases[] = {
      {"lines of every length from 0 to 60", lengths},
      {"NUL bytes in the description and the amount", kSignOn + nul + kCheck},
      {"non-digit amounts", kSignOn + amounts + sales::line("00", "", "X1,5") + kSale},
      {"binary garbage", garbage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig;
    const rig::Run run = rig.cassard(c.sales, std::chrono::seconds(120));
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(cleanConsole(run)) << run.console;
    // Whatever the lines say, the run ends with a status of its own table.
    EXPECT_TRUE(run.status == 0 || run.status == 99 || run.status == 255 || run.status == 8 ||
                run.status == 21 || run.status == 18)
        << run.status << run.console;
    if (run.status == 0) {
      EXPECT_EQ(rig.commands().back(), "4800");
    }
    // The register took every frame cassard built: none damaged, none too long.
    for (const std::string& r : rig.record()) EXPECT_NE(r.rfind("BAD ", 0), 0u) << r;
  }
}

TEST(HostileSales, UnreadableSalesFilesAreRefused) {
  struct Case {
    const char* legend;
    std::string name;
    const char* text;
  };
  const Case cases[] = {
      {"a directory", ".", "Errore in lettura del file di input\n"},
      {"a missing file", "missing.ECR", "Impossibile aprire il file di input\n"},
      {"a name of 300 characters", std::string(296, 'n') + ".ECR",
       "Impossibile aprire il file di input\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig;
    const rig::Run run = rig.cassardArgs({c.name, rig.link()}, std::chrono::seconds(30));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 255) << run.console;
    EXPECT_NE(rig.dumpLog().find(std::string("\nDescrizione: ") + c.text), std::string::npos)
        << rig.dumpLog();
    EXPECT_NE(run.console.find(c.text), std::string::npos) << run.console;
  }
}

}  // namespace

namespace {

// The other two arguments the host passes: the device and the line settings.
TEST(HostileArguments, UnusableLinesAreRefusedBeforeAnyTraffic) {
  struct Case {
    const char* legend;
    std::vector<std::string> args;  // after the sales file
    const char* console;
    bool dump;  // line settings that cannot be applied end without a report
  };
  const Case cases[] = {
      {"a missing device", {"no-such-device"}, "Impossibile aprire la porta seriale\n", true},
      {"a device that is no serial line", {"/dev/null"}, "ioctl()", false},
      {"line settings of 100 characters",
       {"", std::string(100, '9')},
       "Impossibile aprire la porta seriale\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    rig::Rig rig;
    std::vector<std::string> args{"vendite.ECR"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (args[1].empty()) args[1] = rig.link();
    {
      std::ofstream sales(rig.dir() / "vendite.ECR");
      sales << sales::line("03", "", "", "05");
    }
    const rig::Run run = rig.cassardArgs(args, std::chrono::seconds(30));
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 255) << run.console;
    EXPECT_NE(run.console.find(c.console), std::string::npos) << run.console;
    EXPECT_EQ(!rig.dumpLog().empty(), c.dump) << rig.dumpLog();
    EXPECT_TRUE(rig.record().empty());
  }
}

}  // namespace

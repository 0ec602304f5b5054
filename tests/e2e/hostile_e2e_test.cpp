// Sales files a host should never write, and sometimes does: cassard reads each to the
// end or refuses it with its exit status, never crashes or hangs, and sends the valid
// lines among them exactly as it sends them alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
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
    EXPECT_FALSE(contains(dump, "Codice di uscita")) << dump;
    if (c.warning) {
      EXPECT_TRUE(contains(dump, c.warning)) << dump;
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
    EXPECT_TRUE(contains(rig.dumpLog(), std::string("\nDescrizione: ") + c.text)) << rig.dumpLog();
    EXPECT_TRUE(contains(run.console, c.text)) << run.console;
  }
}

// The other two arguments the host passes: the device and the line settings.
TEST(HostileArguments, UnusableLinesAreRefusedBeforeAnyTraffic) {
  struct Case {
    const char* legend;
    std::vector<std::string> args;  // after the sales file
    const char* console;
    bool dump;  // line settings that cannot be applied end without a report
  };
  // clang-format off
  const Case cases[] = {
      {"a missing device", {"no-such-device"}, "Impossibile aprire la porta seriale\n", true},
      {"a device that is no serial line", {"/dev/null"}, "ioctl()", false},
      {"line settings of 100 characters", {"", std::string(100, '9')},
       "Impossibile aprire la porta seriale\n", true},
  };
  // clang-format on
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
    EXPECT_TRUE(contains(run.console, c.console)) << run.console;
    EXPECT_EQ(!rig.dumpLog().empty(), c.dump) << rig.dumpLog();
    EXPECT_TRUE(rig.record().empty());
  }
}

// ---- the surroundings: signals, closed descriptors, links, names, devices, cut files

using Clock = std::chrono::steady_clock;

// Seconds since a moment.
double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const std::string kReceipt = kSignOn + kSale + kPay + kCheck;
// Commands of kReceipt: 1 'T', 2 zero key, 3 sign-on, 4 zero key, 5 the sale.
constexpr std::size_t kSaleCommand = 5;

// A signal mid-receipt: the sale being delivered goes through, nothing follows it, and
// the report says which line was the last. A second signal ends the run at once.
TEST(HostileSurroundings, SignalsFinishTheExchangeThenStop) {
  struct Case {
    const char* legend;
    std::vector<int> signals;  // sent 0.2 s apart once the sale reached the register
    int status;
    double maxSeconds;  // from the first signal to the end
    const char* errors;
  };
  // clang-format off
  const Case cases[] = {
      {"SIGTERM", {SIGTERM}, 143, 4.0, "cassard: vendite.ECR:2: Interrotto dal segnale SIGTERM: "
       "riga 2 eseguita per intero, nessuna successiva: 01PANE"},
      {"SIGHUP, then SIGINT", {SIGHUP, SIGINT}, 130, 1.0,
       "cassard: vendite.ECR:2: Interrotto dal segnale SIGINT (exit 130)\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    // The register takes 1.5 s over the sale: time enough to be told to stop.
    rig::Rig rig("default.json", {"--fault", "delay=1500@5"});
    std::ofstream(rig.dir() / "vendite.ECR") << kReceipt;
    const pid_t pid = rig.start({"vendite.ECR", rig.link()});
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (rig.commands().size() < kSaleCommand && Clock::now() < deadline) usleep(2000);
    const auto signalled = Clock::now();
    for (int s : c.signals) {
      kill(pid, s);
      usleep(200'000);
    }
    const rig::Run e = rig.finish(pid, std::chrono::seconds(20));
    EXPECT_EQ(e.status, c.status) << e.console << e.errors;
    EXPECT_LE(since(signalled), c.maxSeconds);
    EXPECT_EQ(e.errors.rfind(c.errors, 0), 0u) << e.errors;
    EXPECT_EQ(rig.commands().size(), kSaleCommand) << "nothing is sent after the sale";
    EXPECT_LE(rig.dumpLog().size(), 16u * 1024);
    if (c.signals.size() == 1) {
      EXPECT_TRUE(contains(rig.dumpLog(), "\nDescrizione: Interrotto dal segnale SIGTERM: riga 2"))
          << rig.dumpLog();
    }
  }
}

TEST(HostileSurroundings, EachEndsBoundedAndSaysWhere) {
  struct Case {
    const char* legend;
    std::string sales;
    std::function<void(const rig::Rig&)> prepare;
    std::vector<std::string> args;  // after the sales file; empty: the rig's line
    std::initializer_list<int> closed;
    int status;
    double minSeconds, maxSeconds;
    std::vector<std::string> commands;  // executed, in order; empty: not checked
    const char* dump;                   // in the dump log; nullptr: no report
    std::string errors;                 // the start of stderr
  };
  const std::string signOn = "41000527";
  const std::string sale =
      "412A132350414E45202020202020202020202020202020202020202020202020202020202020203102050A4B";
  const auto noop = [](const rig::Rig&) {};
  const auto dumpLogLink = [](const rig::Rig& rig) {
    std::ofstream(rig.dir() / "victim") << "keep";
    ASSERT_EQ(symlink("victim", (rig.dir() / rig::todaysDumpLog()).c_str()), 0);
  };
  const std::string where = "cassard: vendite.ECR:";
  const std::vector<std::string> fault = {"--fault", "E@5"};
  // clang-format off
  const Case cases[] = {
      // The console is advisory: a closed pipe there never ends a run.
      {"console a pipe nobody reads", kReceipt, noop, {}, {rig::kBrokenConsole}, 0, 0, 5, {},
       nullptr, ""},
      // stdout and stderr closed: the line must not become the console.
      {"closed standard descriptors", kReceipt, noop, {}, {1, 2}, 0, 0, 5, {}, nullptr, ""},
      {"dump log through a link", kReceipt, dumpLogLink, fault, {}, 18, 0, 5, {}, nullptr,
       "cassard: cannot write the dump log dump"},
      {"download name out of the directory", kSignOn + sales::line("55", "../GIORNALE-", "", "00"),
       noop, {}, {}, 255, 0, 5, {}, "Impossibile aprire il file di output\n",
       where + "2: Impossibile aprire il file di output (exit 255)\n"},
      // A pseudo-terminal's master ignores the line's read timeout: before reads had a
      // deadline of their own this run never ended. A silent register costs 3.3 s.
      {"a device without a read timeout", kReceipt, noop, {"/dev/ptmx"}, {}, 32, 3.2, 5, {},
       "Mancato collegamento con l'ECR", where + "0: Mancato collegamento con l'ECR (exit 32)\n"},
      {"last line cut", kSignOn + kSale.substr(0, 20), noop, {}, {}, 255, 0, 5,
       {"54", "4100", signOn}, "Riga incompleta", where + "2: Riga incompleta (exit 255)\n"},
      {"last line lacking only its line end", kSignOn + kSale.substr(0, kSale.size() - 1), noop,
       {}, {}, 0, 0, 5, {"54", "4100", signOn, "4100", sale, "4800"}, nullptr, ""},
      {"a refused command says where", kReceipt, noop, fault, {}, 18, 0, 5, {},
       "Comando non accettato\n", where + "2: Comando non accettato (exit 18)\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    const bool ecrsimFault = !c.args.empty() && c.args[0] == "--fault";
    rig::Rig rig("default.json", ecrsimFault ? c.args : std::vector<std::string>{});
    c.prepare(rig);
    std::ofstream(rig.dir() / "vendite.ECR") << c.sales;
    const std::string device = ecrsimFault || c.args.empty() ? rig.link() : c.args[0];
    const auto start = Clock::now();
    const rig::Run e =
        rig.finish(rig.start({"vendite.ECR", device}, c.closed), std::chrono::seconds(20));
    const double seconds = since(start);
    EXPECT_EQ(e.status, c.status) << e.console << e.errors;
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LE(seconds, c.maxSeconds);
    if (!c.commands.empty()) {
      EXPECT_EQ(rig.commands(), c.commands);
    }
    const auto commands = rig.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "4801"), 0) << "no download opened";
    const std::string dump = rig.dumpLog();
    EXPECT_LE(dump.size(), 16u * 1024);
    if (c.dump) {
      EXPECT_TRUE(contains(dump, std::string("\nDescrizione: ") + c.dump)) << dump;
    }
    EXPECT_EQ(e.errors.rfind(c.errors, 0), 0u) << e.errors;
    // Nothing meant for the console reached the register.
    EXPECT_FALSE(contains(rig.ecrsimErrors(), "447269766572"));
    if (std::filesystem::exists(rig.dir() / "victim")) {
      EXPECT_EQ(rig.file("victim"), "keep");
    }
  }
}

}  // namespace

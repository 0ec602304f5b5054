// cassard end to end against ecrsim on a pty, side by side with its floor:
//   - the pause floor, the sleeps the sales file asks for;
//   - the link floor, the very commands cassard sent, replayed by a bare loop with no
//     protocol logic (RSTA and status byte, frame and answer, ACK) on the same line,
//     with the same pauses where the run has them;
//   - the start floor, one start of a static program that does nothing.
// Every target is a ratio to a floor measured in the same run, never an absolute time.
// The last lines are one verdict per target, for scripts to read; the exit status is 1
// when a target is missed.
//
//   bench_e2e BUILD_DIR
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bench/workload.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::Bytes;

namespace {

std::string gBuild;
fs::path gWork;
pid_t gEcrsim = -1;  // the ecrsim this process started and has not stopped yet

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_e2e: %s\n", what.c_str());
  if (gEcrsim > 0) {
    kill(gEcrsim, SIGTERM);
    waitpid(gEcrsim, nullptr, 0);
  }
  std::exit(1);
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) die("cannot write " + p.string());
}

// Raw, and a read returns what is there as soon as a byte is, or nothing after 5 s:
// one system call per read, as cassard makes, with a bound should ecrsim fail.
void makeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 50;
  tcsetattr(fd, TCSANOW, &t);
}

// ------------------------------------------------------------------ placement

// Where a process runs changes what its exchanges with the register cost: on the
// register's CPU every byte is a context switch, on another it is a wake-up. So that
// cassard and the bare loop are compared alike, ecrsim gets the first allowed CPU and
// this process (the bare loop, and cassard, which inherits it) the second. With one
// CPU, all share it.
std::vector<int> gCpus;

void pinTo(std::size_t which) {
  if (which >= gCpus.size()) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(gCpus[which], &set);
  sched_setaffinity(0, sizeof set, &set);
}

void placeProcesses() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) gCpus.push_back(c);
  if (gCpus.size() >= 2) pinTo(1);
}

// ------------------------------------------------------------------ ecrsim

struct Ecrsim {
  pid_t pid = -1;
  fs::path link, record;

  Ecrsim(const fs::path& profile, long paceBaud, const std::string& tag) {
    link = gWork / ("ecr-" + tag);
    record = gWork / ("record-" + tag + ".txt");
    std::vector<std::string> args = {gBuild + "/ecrsim", "--link", link.string(),
                                     "--profile",        profile,  "--record",
                                     record.string(),    "--roll", "/dev/null"};
    if (paceBaud > 0) {
      args.push_back("--pace");
      args.push_back(std::to_string(paceBaud));
    }
    int out[2];
    if (pipe(out) != 0) die("pipe");
    pid = fork();
    if (pid == 0) {
      pinTo(0);
      dup2(out[1], STDOUT_FILENO);
      int err =
          open((gWork / ("ecrsim-" + tag + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    gEcrsim = pid;
    // The ready line says the line is served; read it rather than sleep.
    std::string got;
    char c;
    while (got.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) got += c;
    close(out[0]);
    if (got.rfind("ecrsim ready", 0) != 0) die("ecrsim did not start: " + got);
  }
  ~Ecrsim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      gEcrsim = -1;
    }
  }
  Ecrsim(const Ecrsim&) = delete;
  Ecrsim& operator=(const Ecrsim&) = delete;

  std::size_t recordSize() const {
    std::error_code ec;
    const auto n = fs::file_size(record, ec);
    return ec ? 0 : static_cast<std::size_t>(n);
  }
  std::string recordFrom(std::size_t offset) const { return slurp(record).substr(offset); }
};

// ------------------------------------------------------------------ cassard as a child

struct ChildRun {
  int status = -1;
  double wall = 0;     // s, fork to reap
  double cpu = 0;      // s, user + system of the child
  long peakKiB = 0;    // VmHWM of cassard's own image, read at its exit
  long maxrssKiB = 0;  // ru_maxrss; includes the pre-exec copy of this process
};

long vmHwmKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// A cassard that hangs is killed after this long; its run then counts as failed.
constexpr unsigned kRunTimeoutS = 120;
volatile sig_atomic_t gRunning = -1;
void onAlarm(int) {
  if (gRunning > 0) kill(gRunning, SIGKILL);
}

// Runs a program in dir. ru_maxrss counts the memory of the forked copy of this process
// before exec, so the peak of the program's own image is read from /proc at its exit
// stop (ptrace stops the child only at exec and at exit, never per system call).
ChildRun runChild(const std::string& program, const fs::path& dir,
                  const std::vector<std::string>& args) {
  ChildRun r;
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int ws = 0;
  rusage ru{};
  bool traced = false;
  gRunning = pid;
  struct sigaction sa {};
  sa.sa_handler = onAlarm;
  sigaction(SIGALRM, &sa, nullptr);
  alarm(kRunTimeoutS);
  for (;;) {
    if (wait4(pid, &ws, 0, &ru) != pid) {
      if (errno == EINTR) continue;
      die("wait4");
    }
    if (WIFEXITED(ws) || WIFSIGNALED(ws)) break;
    if (!WIFSTOPPED(ws)) continue;
    const int sig = WSTOPSIG(ws);
    const unsigned event = static_cast<unsigned>(ws) >> 16;
    if (!traced && sig == SIGTRAP) {
      traced = true;
      ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
      ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    } else if (sig == SIGTRAP && event == PTRACE_EVENT_EXIT) {
      r.peakKiB = vmHwmKiB(pid);
      ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    } else {
      ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(sig)));
    }
  }
  alarm(0);
  gRunning = -1;
  r.wall = seconds(Clock::now() - t0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  r.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  r.maxrssKiB = ru.ru_maxrss;
  if (r.peakKiB == 0) r.peakKiB = r.maxrssKiB;
  return r;
}

ChildRun runCassard(const fs::path& dir, const std::vector<std::string>& args) {
  return runChild(gBuild + "/cassard", dir, args);
}

// ------------------------------------------------------------------ the bare loop

bool readSome(int fd, uint8_t* buf, std::size_t n, ssize_t& got) {
  got = read(fd, buf, n);
  return got > 0;
}

void sleepMicros(long us) {
  timespec left{us / 1'000'000, (us % 1'000'000) * 1000};
  while (nanosleep(&left, &left) < 0 && errno == EINTR) {
  }
}

// The same exchanges, nothing else: no trace, no decoding, no waits but the given
// sleeps of `steps` (bench::runSteps), if given.
struct LoopRun {
  double wall = 0;  // s
  double cpu = 0;   // s, user + system of this thread
};

double threadCpu() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

LoopRun bareLoop(const fs::path& link, const std::vector<Bytes>& commands,
                 std::vector<long> steps = {}) {
  const double cpu0 = threadCpu();
  const auto t0 = Clock::now();
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) die("bare loop cannot open " + link.string());
  makeRaw(fd);
  uint8_t num = 0;
  uint8_t buf[512];
  static constexpr uint8_t kRsta = 0x1e, kAck = 0x06;
  if (steps.empty()) steps.assign(commands.size(), bench::kCommand);
  std::size_t next = 0;
  for (long step : steps) {
    if (step != bench::kCommand) {
      sleepMicros(step);
      continue;
    }
    if (next >= commands.size()) die("bare loop: more steps than commands");
    const Bytes& cmd = commands[next++];
    ssize_t got = 0;
    if (write(fd, &kRsta, 1) != 1 || !readSome(fd, buf, 1, got)) die("bare loop: no status byte");
    const Bytes frame = bench::hostFrame(num++, cmd);
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
      die("bare loop: write");
    bench::AnswerCollector answer;
    while (!answer.done()) {
      if (!readSome(fd, buf, sizeof buf, got)) die("bare loop: no answer");
      if (answer.feed({buf, static_cast<std::size_t>(got)}) != static_cast<std::size_t>(got))
        die("bare loop: bytes after the answer");
    }
    if (answer.refused()) die("bare loop: command refused");
    if (write(fd, &kAck, 1) != 1) die("bare loop: write");
  }
  close(fd);
  return {seconds(Clock::now() - t0), threadCpu() - cpu0};
}

// ------------------------------------------------------------------ profiles

const fs::path kProfiles = CASSARD_SOURCE_DIR "/tests/data/profiles";

fs::path journalProfile(int records) {
  nlohmann::json base = nlohmann::json::parse(slurp(kProfiles / "default.json"));
  const auto& sample = base["expansion"]["journal"];
  nlohmann::json journal = nlohmann::json::array();
  // The sample holds one record of an unknown type; the run formats hex lines, which
  // take every type alike.
  std::size_t bytes = 0;
  for (int i = 0; i < records; ++i) {
    journal.push_back(sample[static_cast<std::size_t>(i) % sample.size()]);
    const std::string hex = journal.back().get<std::string>();
    bytes += static_cast<std::size_t>(
                 std::count_if(hex.begin(), hex.end(), [](char c) { return c != ' '; })) /
             2;
  }
  // The descriptor gives the journal area's size, and cassard reads no more records
  // than it has bytes: a register with this journal says at least this much.
  nlohmann::json p = {{"base", (kProfiles / "default.json").string()},
                      {"expansion",
                       {{"journal", journal},
                        {"descriptor", {{"dc_max_byte", std::max<std::size_t>(bytes, 65536)}}}}}};
  const fs::path path = gWork / ("journal-" + std::to_string(records) + ".json");
  spit(path, p.dump());
  return path;
}

fs::path departmentsProfile(int count) {
  nlohmann::json depts = nlohmann::json::array();
  for (int i = 1; i <= count; ++i) {
    char name[17];
    std::snprintf(name, sizeof name, "REPARTO %02d", i);
    depts.push_back({{"name", name},
                     {"price", 100 * i},
                     {"vat", 1 + i % 4},
                     {"totals", {1000 * i, i, 100 * i}}});
  }
  nlohmann::json p = {{"base", (kProfiles / "default.json").string()},
                      {"identification", {{"departments", count}}},
                      {"departments", depts}};
  const fs::path path = gWork / ("departments-" + std::to_string(count) + ".json");
  spit(path, p.dump());
  return path;
}

// ------------------------------------------------------------------ one case

struct Case {
  std::string mix;    // a, b, c-journal, c-totals
  std::string label;  // what the size counts
  int size = 0;
  std::string sales;
  fs::path profile;
  long pace = 0;
  int reps = 1;
  bool linkFloor = true;
};

struct Result {
  Case c;
  long tx = 0;
  double pauseFloor = 0;  // s
  double wall = 0, cpu = 0, link = 0;
  double linkCpu = 0;    // s, the bare loop's own CPU
  double pacedLink = 0;  // s, the bare loop sleeping the same pauses (0: not measured)
  double pacedLinkCpu = 0;
  long maxrssKiB = 0;
  std::vector<long> peaks;  // KiB, each repetition's
  int status = 0;
  long peakKiB() const { return peaks.empty() ? 0 : *std::max_element(peaks.begin(), peaks.end()); }
  double perTxCassard() const { return (wall - pauseFloor) / static_cast<double>(tx); }
  double perTxLink() const { return link / static_cast<double>(tx); }
};

// The machine is shared: other work only ever adds to a time, so the least of the
// repetitions is the best estimate of what the run itself needs.
double least(const std::vector<double>& v) {
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

long median(std::vector<long> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// The start floor: fork, exec and reaping of a static program that does nothing,
// measured as cassard's runs are (traced at exec and exit); least of `reps`.
double startFloorSeconds(int reps) {
  const fs::path dir = gWork / "start";
  fs::create_directories(dir);
  std::vector<double> walls;
  for (int i = 0; i < reps; ++i) {
    const ChildRun run = runChild(gBuild + "/bench/bench_trivial", dir, {});
    if (run.status != 0) die("the trivial program ended with " + std::to_string(run.status));
    walls.push_back(run.wall);
  }
  return least(walls);
}

Result runCase(const Case& c, int index) {
  const std::string tag = std::to_string(index);
  const fs::path dir = gWork / ("run-" + tag);
  fs::create_directories(dir);
  spit(dir / "vendite.ECR", c.sales);
  Ecrsim sim(c.profile, c.pace, tag);

  Result r;
  r.c = c;
  r.pauseFloor = static_cast<double>(bench::pauseFloorMicros(c.sales)) / 1e6;
  std::vector<double> walls, cpus, links, linkCpus, pacedLinks, pacedLinkCpus;
  for (int rep = 0; rep < c.reps; ++rep) {
    // Download files are appended to by default; start each repetition clean.
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename() != "vendite.ECR") fs::remove_all(e.path());
    const std::size_t before = sim.recordSize();
    const ChildRun run = runCassard(dir, {"vendite.ECR", sim.link.string()});
    if (run.status != 0) {
      std::fprintf(stderr, "bench_e2e: cassard ended with %d in %s (mix %s, %d)\n", run.status,
                   dir.c_str(), c.mix.c_str(), c.size);
      r.status = run.status;
    }
    int marked = 0;
    const auto commands = bench::executedCommands(sim.recordFrom(before), marked);
    if (marked > 0)
      std::fprintf(stderr, "bench_e2e: %d frames not executed in mix %s\n", marked, c.mix.c_str());
    r.tx = static_cast<long>(commands.size());
    walls.push_back(run.wall);
    cpus.push_back(run.cpu);
    r.peaks.push_back(run.peakKiB);
    r.maxrssKiB = std::max(r.maxrssKiB, run.maxrssKiB);
    if (c.linkFloor) {
      const LoopRun bare = bareLoop(sim.link, commands);
      links.push_back(bare.wall);
      linkCpus.push_back(bare.cpu);
    }
    // Where the run sleeps, a line that sleeps too goes cold: the floor that counts is
    // then the bare loop with the same pauses.
    if (auto steps = bench::runSteps(c.sales, commands.size());
        c.linkFloor && r.pauseFloor > 0 && !steps.empty()) {
      const LoopRun bare = bareLoop(sim.link, commands, std::move(steps));
      pacedLinks.push_back(bare.wall);
      pacedLinkCpus.push_back(bare.cpu);
    }
  }
  r.wall = least(walls);
  r.cpu = least(cpus);
  r.link = least(links);
  r.pacedLink = least(pacedLinks);
  r.linkCpu = least(linkCpus);
  r.pacedLinkCpu = least(pacedLinkCpus);
  return r;
}

// ------------------------------------------------------------------ first byte

// From fork to the first byte cassard puts on the line (its first RSTA), on a pty
// this process holds, so no simulator stands in between.
double firstByteSeconds() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("openpt");
  const std::string slave = ptsname(master);
  // Held open so that the master sees no hang-up before cassard opens the line.
  const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
  makeRaw(master);
  const fs::path dir = gWork / "first-byte";
  fs::create_directories(dir);
  spit(dir / "vendite.ECR", sales::line("05", "", "100"));

  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::string bin = gBuild + "/cassard";
    execl(bin.c_str(), bin.c_str(), "vendite.ECR", slave.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pollfd p{master, POLLIN, 0};
  // Nothing within 5 s counts as 5 s: the verdict then says MISSED.
  double t = 5.0;
  if (poll(&p, 1, 5000) > 0) t = seconds(Clock::now() - t0);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(keep);
  close(master);
  return t;
}

// ------------------------------------------------------------------ report

struct Verdicts {
  std::vector<std::string> lines;
  void add(const std::string& name, double value, double limit, const char* unit,
           bool atMost = true) {
    const bool ok = atMost ? value <= limit : value >= limit;
    char buf[256];
    std::snprintf(buf, sizeof buf, "target %s: %.3f%s (limit %.3f%s) %s", name.c_str(), value, unit,
                  limit, unit, ok ? "ok" : "MISSED");
    lines.emplace_back(buf);
  }
};

const Result* find(const std::vector<Result>& rs, const std::string& mix, int size, long pace = 0) {
  for (const Result& r : rs)
    if (r.c.mix == mix && r.c.size == size && r.c.pace == pace) return &r;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_e2e BUILD_DIR [MIX...]\n");
    return 2;
  }
  gBuild = fs::absolute(argv[1]).string();
  char tmpl[] = "/tmp/cassard-bench-XXXXXX";
  if (!mkdtemp(tmpl)) die("mkdtemp");
  gWork = tmpl;
  placeProcesses();
  const auto started = Clock::now();

  const fs::path plain = kProfiles / "default.json";
  std::vector<Case> cases;
  for (int n : {100, 1000, 10000})
    cases.push_back({"a", "lines", n, bench::singleCommandLines(n), plain, 0, 15, true});
  // Mostly pauses: 100 lines are about 2.4 s, 1000 lines about 24 s.
  for (int n : {100, 1000})
    cases.push_back({"b", "lines", n, bench::receiptLines(n), plain, 0, n < 1000 ? 3 : 2, true});
  const std::string journalLine = sales::line("55", "giornale", "", "00");
  for (int n : {100, 1000, 10000})
    cases.push_back({"c-journal", "records", n, journalLine, journalProfile(n), 0, 15, true});
  cases.push_back(
      {"c-journal", "records", 100000, journalLine, journalProfile(100000), 0, 3, true});
  cases.push_back({"c-totals", "departments", 99, sales::line("60", "totali", "", "00"),
                   departmentsProfile(99), 0, 15, true});
  // The wire at 38400 baud is the limit: 10 bits per byte, 0.26 ms a byte.
  cases.push_back({"a", "lines", 1000, bench::singleCommandLines(1000), plain, 38400, 1, true});
  cases.push_back({"b", "lines", 100, bench::receiptLines(100), plain, 38400, 1, true});
  cases.push_back(
      {"c-journal", "records", 1000, journalLine, journalProfile(1000), 38400, 1, true});

  // The profiles were built in memory; give it back, so that forking cassard copies
  // as little of this process as can be.
  malloc_trim(0);

  // Naming mixes after the build directory runs only those (for working on one).
  if (argc > 2)
    std::erase_if(cases, [&](const Case& c) {
      return std::find(argv + 2, argv + argc, c.mix) == argv + argc;
    });

  std::vector<Result> results;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    results.push_back(runCase(cases[i], static_cast<int>(i)));
    const Result& r = results.back();
    std::fprintf(stderr, "  done %s %d%s: %.2f s\n", r.c.mix.c_str(), r.c.size,
                 r.c.pace ? " paced" : "", r.wall);
  }

  std::vector<double> firsts;
  for (int i = 0; i < 10; ++i) firsts.push_back(firstByteSeconds());
  const double firstByte = least(firsts);
  const double startFloor = startFloorSeconds(30);

  std::printf(
      "\ncassard against ecrsim on a pty (least of the repetitions; times in s, per\n"
      "transaction in us; link floor = the same commands by a bare loop)\n\n");
  std::printf("%-10s %7s %5s %4s %6s | %8s %8s %8s | %8s %8s %6s | %6s %7s %7s %7s\n", "mix",
              "size", "baud", "reps", "tx", "wall", "pauses", "link", "us/tx", "link/tx", "ratio",
              "cpu/tx", "lcpu/tx", "peakKiB", "maxrss");
  for (const Result& r : results) {
    const double ratio =
        r.c.mix == "b" && r.pacedLink > 0 ? r.wall / r.pacedLink : r.perTxCassard() / r.perTxLink();
    std::printf(
        "%-10s %7d %5s %4d %6ld | %8.3f %8.3f %8.3f | %8.1f %8.1f %6.3f | %6.1f %7.1f %7ld "
        "%7ld%s\n",
        r.c.mix.c_str(), r.c.size, r.c.pace ? std::to_string(r.c.pace).c_str() : "-", r.c.reps,
        r.tx, r.wall, r.pauseFloor, r.link, r.perTxCassard() * 1e6, r.perTxLink() * 1e6, ratio,
        r.cpu / static_cast<double>(r.tx) * 1e6,
        (r.pacedLinkCpu > 0 ? r.pacedLinkCpu : r.linkCpu) / static_cast<double>(r.tx) * 1e6,
        r.peakKiB(), r.maxrssKiB, r.status ? "  (failed)" : "");
  }
  std::printf(
      "\nratio: mix b wall / the bare loop with the same pauses; the others (wall - pauses) /\n"
      "link floor per tx. cpu/tx: cassard's user + system, its start included; lcpu/tx: the\n"
      "bare loop's own CPU per tx (with the same pauses where the run has them).\n");
  for (const Result& r : results)
    if (r.c.mix == "b")
      std::printf(
          "mix b %d lines%s: wall / (pauses + link floor) = %.3f, wall / bare loop with "
          "the same pauses (%.3f s) = %.3f, wall / ideal pause sum (%.3f s, not judged: the "
          "sleeps themselves overshoot) = %.3f\n",
          r.c.size, r.c.pace ? " at 38400" : "", r.wall / (r.pauseFloor + r.link), r.pacedLink,
          r.pacedLink > 0 ? r.wall / r.pacedLink : 0.0, r.pauseFloor, r.wall / r.pauseFloor);
  // The slope between two sizes leaves out what every run pays once (process start,
  // configuration, the closing command): what one more transaction costs.
  for (const auto& [mix, small, large] :
       {std::tuple{"a", 1000, 10000}, std::tuple{"c-journal", 1000, 10000},
        std::tuple{"c-journal", 10000, 100000}}) {
    const Result* s = find(results, mix, small);
    const Result* l = find(results, mix, large);
    if (!s || !l) continue;
    const double txs = static_cast<double>(l->tx - s->tx);
    const double cassard = (l->wall - s->wall) / txs, link = (l->link - s->link) / txs;
    std::printf(
        "mix %s, one more transaction (%d to %d): cassard %.1f us, link floor %.1f us, "
        "ratio %.3f\n",
        mix, small, large, cassard * 1e6, link * 1e6, cassard / link);
  }
  std::printf("first byte on the wire: least %.2f ms of 10 starts\n", firstByte * 1e3);
  std::printf("start floor: a static program that does nothing, least %.2f ms of 30 starts\n",
              startFloor * 1e3);
  std::printf("total run: %.0f s\n\n", seconds(Clock::now() - started));

  Verdicts v;
  bool allRan = true;
  for (const Result& r : results) allRan = allRan && r.status == 0;
  v.add("every run completed", allRan ? 1 : 0, 1, "", false);
  // CPU: cassard's over the bare loop's for the same exchanges (and the same pauses).
  const auto cpuRatio = [](const Result& r) {
    return r.cpu / (r.pacedLinkCpu > 0 ? r.pacedLinkCpu : r.linkCpu);
  };
  if (const Result* b = find(results, "b", 1000)) {
    v.add("mix b 1000 lines wall/bare loop with the same pauses",
          b->pacedLink > 0 ? b->wall / b->pacedLink : 0, 1.02, "");
    v.add("mix b 1000 cassard/bare loop cpu per tx", cpuRatio(*b), 1.5, "");
  }
  for (const char* mix : {"a", "c-journal"}) {
    const Result* r = find(results, mix, 10000);
    if (!r) continue;
    v.add(std::string("mix ") + mix + " 10000 cassard/link floor per tx",
          r->perTxCassard() / r->perTxLink(), 1.3, "");
    v.add(std::string("mix ") + mix + " 10000 cassard/bare loop cpu per tx", cpuRatio(*r), 1.5, "");
  }
  // A run this short is mostly its start: its floor is the link floor and one start.
  if (const Result* t = find(results, "c-totals", 99))
    v.add("mix c-totals 99 cassard/(link floor + one process start)",
          (t->wall - t->pauseFloor) / (t->link + startFloor), 1.3, "");
  long peak = 0;
  for (const Result& r : results) peak = std::max(peak, r.peakKiB());
  v.add("peak resident memory", static_cast<double>(peak) / 1024.0, 4.0, " MiB");
  // Flat: the largest run needs no more than 5 % over the smallest of its mix. What a run
  // needs is the median of its repetitions' peaks: where the loader and the stack fall
  // moves one start's peak by some pages either way, and growth shows in every one.
  for (const auto& [mix, small, large] :
       {std::tuple{"a", 100, 10000}, std::tuple{"c-journal", 100, 100000}}) {
    const Result* s = find(results, mix, small);
    const Result* l = find(results, mix, large);
    if (s && l)
      v.add(std::string("memory growth mix ") + mix + " " + std::to_string(small) + " to " +
                std::to_string(large),
            static_cast<double>(median(l->peaks)) / static_cast<double>(median(s->peaks)), 1.05,
            "");
  }
  v.add("first byte on the wire", firstByte * 1e3, 5.0, " ms");
  for (const std::string& line : v.lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  const bool missed = std::any_of(v.lines.begin(), v.lines.end(), [](const std::string& l) {
    return l.size() >= 6 && l.compare(l.size() - 6, 6, "MISSED") == 0;
  });
  // A failed run leaves its files (dump log, ecrsim's record) for a look.
  if (allRan) {
    std::error_code ec;
    fs::remove_all(gWork, ec);
  } else {
    std::fprintf(stderr, "bench_e2e: the runs are kept in %s\n", gWork.c_str());
  }
  if (missed) std::fprintf(stderr, "bench_e2e: a target was missed\n");
  return missed ? 1 : 0;
}

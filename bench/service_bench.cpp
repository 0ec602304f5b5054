// cassardd against its floor, cassard run by hand on the same sales file:
//   - a receipt through cassardd (POST to the job's done event) over the same receipt's
//     sales file run by cassard directly, at 38400 baud (ecrsim --pace) and at full speed;
//     through cassardd the run also reads the register on its line before its first line
//     and after its last (--status-before, --status-after), and those reads are counted;
//   - GET /v1/registers while both registers are busy with receipts, its 99th percentile;
//   - a till's POST while eight consoles read the jobs page and the service in a loop over
//     1,000 jobs, its 99th percentile;
//   - a till beside 1,100 idle sockets reconnecting as soon as they are closed: the share
//     of its requests that failed, their 99th percentile, and the resident memory before
//     and after the flood;
//   - cassardd's resident memory after 1,000 jobs and after 10,000.
// Each time is the least of its repetitions: the machine is shared, and other work only
// ever adds time. The last lines are one verdict per target; exit status 1 on a miss.
//
//   bench_service BUILD_DIR [JOBS] [ROW...]
// JOBS: the memory row's count, default 10000. Naming rows (receipt, registers, readers,
// flood, memory) runs only those, for working on one; a whole run names none.
#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/receipt.h"
#include "service_load.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

std::string gBuild;
fs::path gWork;
std::vector<pid_t> gChildren;

void stopAll() {
  for (pid_t p : gChildren) {
    kill(p, SIGTERM);
    waitpid(p, nullptr, 0);
  }
  gChildren.clear();
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_service: %s (files kept in %s)\n", what.c_str(), gWork.c_str());
  stopAll();
  std::exit(1);
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Starts a program whose first line on stdout says it is ready; returns that line.
std::string startReady(const std::vector<std::string>& argv, const fs::path& err) {
  const svc::Launched l = svc::launch(argv, err.string(), false);
  gChildren.push_back(l.pid);
  if (l.line.empty()) die(argv[0] + " did not come up");
  return l.line;
}

fs::path ecrsim(const std::string& name, long pace) {
  const fs::path link = gWork / name;
  std::vector<std::string> argv = {gBuild + "/ecrsim", "--link", link.string(), "--roll",
                                   "/dev/null"};
  if (pace > 0) {
    argv.push_back("--pace");
    argv.push_back(std::to_string(pace));
  }
  startReady(argv, gWork / (name + ".err"));
  return link;
}

// cassardd on the given lines; returns its port.
int startService(const std::string& name, const std::vector<fs::path>& links) {
  const fs::path cfg = gWork / (name + ".toml");
  std::ofstream f(cfg);
  f << "listen = \"127.0.0.1:0\"\nstate_dir = \"" << (gWork / (name + "-state")).string()
    << "\"\ncassard = \"" << gBuild << "/cassard\"\n";
  for (std::size_t i = 0; i < links.size(); ++i)
    f << "[registers.cassa" << i + 1 << "]\ndevice = \"" << links[i].string()
      << "\"\npayments = { contanti = \"10\" }\n";
  f.close();
  const int port = svc::readyPort(
      startReady({gBuild + "/cassardd", "--config", cfg.string()}, gWork / (name + ".log")));
  if (port == 0) die("cassardd did not say it was ready");
  return port;
}

long vmRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(in, l);)
    if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
  return 0;
}

// Job events from /v1/events: when each job reached a final state.
class Events {
 public:
  explicit Events(int port) : cli_("127.0.0.1", port) {
    reader_ = std::thread([this] {
      std::string buf;
      cli_.Get("/v1/events", [this, &buf](const char* d, size_t n) {
        buf.append(d, n);
        for (std::size_t end; (end = buf.find("\n\n")) != std::string::npos;
             buf.erase(0, end + 2)) {
          const std::string ev = buf.substr(0, end);
          const auto data = ev.find("data: ");
          if (ev.find("event: job") == std::string::npos || data == std::string::npos) continue;
          const json j = json::parse(ev.substr(data + 6), nullptr, false);
          const std::string state = j.value("state", "");
          if (state == "done" || state == "failed" || state == "attention") {
            std::lock_guard lock(m_);
            final_[j["id"].get<int64_t>()] = {Clock::now(), state};
            cv_.notify_all();
          }
        }
        return !stop_;
      });
    });
  }
  ~Events() {
    stop_ = true;
    cli_.stop();
    reader_.join();
  }
  std::pair<Clock::time_point, std::string> wait(int64_t id) {
    std::unique_lock lock(m_);
    if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return final_.count(id) > 0; }))
      die("job " + std::to_string(id) + " did not end");
    return final_[id];
  }

 private:
  httplib::Client cli_;
  std::thread reader_;
  std::mutex m_;
  std::condition_variable cv_;
  std::map<int64_t, std::pair<Clock::time_point, std::string>> final_;
  std::atomic<bool> stop_{false};
};

int64_t post(httplib::Client& cli, const std::string& reg, const std::string& key, const json& body,
             bool receipt = true) {
  // A kept-alive connection the server has just closed fails the request on the client's
  // side; the key makes sending it again safe, as a till would.
  const std::string path = "/v1/registers/" + reg + (receipt ? "/receipts" : "/jobs");
  httplib::Result r = cli.Post(path, {{"Idempotency-Key", key}}, body.dump(), "application/json");
  for (int attempt = 1; attempt < 3 && !r; ++attempt)
    r = cli.Post(path, {{"Idempotency-Key", key}}, body.dump(), "application/json");
  if (!r || (r->status != 201 && r->status != 200))
    die("POST " + key + ": " + (r ? r->body : httplib::to_string(r.error())));
  return json::parse(r->body)["id"].get<int64_t>();
}

// The receipt of the comparison: an operator, four items (one returned, one by weight),
// a cash payment, and the end-of-sale check.
const json kReceipt = json::parse(R"({"operator": 2, "items": [
  {"description": "PANE INTEGRALE", "price": 250, "department": 1},
  {"description": "LATTE FRESCO 1L", "price": 129, "quantity": 2, "department": 7},
  {"description": "FORMAGGIO", "price": 1890, "quantity": 0.345, "department": 3},
  {"description": "ACQUA MINERALE", "price": 45, "return": true, "department": 2}],
  "payments": [{"method": "contanti", "amount": 2000}]})");

// The same receipt by hand (cassard on its sales file) and through cassardd (POST to the
// job's done event), taken in turns on the same line, so that whatever the machine does
// meanwhile falls on both sides alike; each side's figure is the least of its runs.
class ReceiptPair {
 public:
  ReceiptPair(const fs::path& link, int port, std::string tag)
      : link_(link), cli_("127.0.0.1", port), events_(port), tag_(std::move(tag)) {
    cassardd::RegisterConfig reg{"cassa1", link.string(), "", {{"contanti", "10"}}};
    fs::create_directories(dir_);
    std::ofstream sales(dir_ / "sales.ECR", std::ios::binary);
    for (const std::string& l : cassardd::receiptLines(kReceipt, reg).lines) sales << l << '\n';
    sales.close();
    byHand(false);  // the first of each side, off the clock
    throughService();
  }

  // By hand with the two readings too, not judged: it tells the readings' time on the
  // wire from the service's own.
  void measure(int reps) {
    for (int i = 0; i < reps; ++i) {
      byHandMs = std::min(byHandMs, byHand(false));
      withReadingsMs = std::min(withReadingsMs, byHand(true));
      serviceMs = std::min(serviceMs, throughService());
    }
  }
  double byHandMs = 1e9, withReadingsMs = 1e9, serviceMs = 1e9;

 private:
  double byHand(bool readings) {
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      const std::string bin = gBuild + "/cassard";
      std::vector<const char*> args = {bin.c_str()};
      if (readings)
        args.insert(args.end(), {"--status-before", "before.json", "--status-after", "after.json"});
      args.insert(args.end(), {"sales.ECR", link_.c_str(), nullptr});
      execv(args[0], const_cast<char* const*>(args.data()));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      die("cassard by hand ended with " + std::to_string(status));
    return ms(Clock::now() - t0);
  }

  double throughService() {
    const auto t0 = Clock::now();
    const auto [t1, state] =
        events_.wait(post(cli_, "cassa1", tag_ + "-" + std::to_string(posted_++), kReceipt));
    if (state != "done") die("a receipt through cassardd ended " + state);
    return ms(t1 - t0);
  }

  fs::path link_;
  fs::path dir_ = gWork / "direct";
  httplib::Client cli_;
  Events events_;
  std::string tag_;
  int posted_ = 0;
};

constexpr const char* kRows[] = {"receipt", "registers", "readers", "flood", "memory"};

struct Verdicts {
  std::vector<std::string> lines;
  void add(const std::string& name, double value, double limit, const char* unit) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "target %s: %.3f%s (limit %.3f%s) %s", name.c_str(), value, unit,
                  limit, unit, value <= limit ? "ok" : "MISSED");
    lines.emplace_back(buf);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_service BUILD_DIR [JOBS] [ROW...]\n");
    return 2;
  }
  gBuild = fs::absolute(argv[1]).string();
  int first = 2;
  int jobs = 10000;
  if (argc > 2 && std::isdigit(static_cast<unsigned char>(argv[2][0])))
    jobs = std::atoi(argv[first++]);
  const std::vector<std::string> only(argv + first, argv + argc);
  for (const std::string& row : only)
    if (std::find(std::begin(kRows), std::end(kRows), row) == std::end(kRows)) {
      std::string rows;
      for (const char* r : kRows) rows += std::string(rows.empty() ? "" : " ") + r;
      std::fprintf(stderr, "bench_service: no row %s (rows: %s)\n", row.c_str(), rows.c_str());
      return 2;
    }
  const auto wanted = [&](const char* row) {
    return only.empty() || std::find(only.begin(), only.end(), row) != only.end();
  };
  std::string tmpl = (fs::temp_directory_path() / "cassardd-bench-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) die("mkdtemp");
  gWork = tmpl;
  Verdicts v;

  // A receipt, by hand and through the service, on the same line at the same pace.
  for (const long pace : {38400L, 0L}) {
    if (!wanted("receipt")) break;
    const fs::path link = ecrsim(pace ? "paced" : "fast", pace);
    const int port = startService(pace ? "svc-paced" : "svc-fast", {link});
    ReceiptPair pair(link, port, pace ? "paced" : "fast");
    pair.measure(pace ? 20 : 30);  // the least of many: the floor of each side, not its noise
    const double direct = pair.byHandMs, service = pair.serviceMs;
    std::printf(
        "receipt %s: cassard by hand %.1f ms (with the two readings %.1f ms), through cassardd "
        "%.1f ms\n",
        pace ? "at 38400 baud" : "at full speed", direct, pair.withReadingsMs, service);
    if (pace)
      v.add("receipt through cassardd/by hand at 38400 baud", service / direct, 1.12, "");
    else
      v.add("receipt through cassardd - by hand at full speed", service - direct, 8.0, " ms");
    stopAll();
  }

  // GET /v1/registers while both registers run receipts.
  if (wanted("registers")) {
    const fs::path a = ecrsim("busy1", 0), b = ecrsim("busy2", 0);
    const int port = startService("svc-busy", {a, b});
    httplib::Client cli("127.0.0.1", port);
    for (int i = 0; i < 100; ++i)
      post(cli, i % 2 ? "cassa1" : "cassa2", "busy-" + std::to_string(i), kReceipt);
    std::vector<double> lat;
    httplib::Client reader("127.0.0.1", port);
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
      const auto t0 = Clock::now();
      const auto r = reader.Get("/v1/registers");
      if (!r || r->status != 200) die("GET /v1/registers failed");
      lat.push_back(ms(Clock::now() - t0));
    }
    std::sort(lat.begin(), lat.end());
    const double p99 = lat[lat.size() * 99 / 100];
    std::printf("GET /v1/registers while receipts run: %zu requests, median %.3f ms, p99 %.3f ms\n",
                lat.size(), lat[lat.size() / 2], p99);
    v.add("GET /v1/registers p99 while jobs run", p99, 2.0, " ms");
    stopAll();
  }

  // A till's POST while eight consoles read, over 1,000 jobs (status reads, the cheapest).
  if (wanted("readers")) {
    const fs::path a = ecrsim("read1", 0), b = ecrsim("read2", 0);
    const int port = startService("svc-read", {a, b});
    httplib::Client cli("127.0.0.1", port);
    Events events(port);
    int64_t last[2] = {};
    for (int i = 0; i < 1000; ++i)
      last[i % 2] = post(cli, i % 2 ? "cassa1" : "cassa2", "read-" + std::to_string(i),
                         {{"kind", "status"}}, false);
    // The readers' cost alone: the 1,000 jobs run first.
    events.wait(last[0]);
    events.wait(last[1]);
    const svc::Figures alone = svc::postsUnderReaders(port, 0, 100, "alone");
    const svc::Figures f = svc::postsUnderReaders(port, 8, 200, "till");
    std::printf("POST of a receipt alone: %s\n", alone.text().c_str());
    std::printf("POST of a receipt while 8 clients read /v1/jobs?limit=500 and /v1/service: %s\n",
                f.text().c_str());
    v.add("POST p99 under 8 readers", f.p99, 20.0, " ms");
    v.add("POSTs failed under 8 readers", double(f.failed), 0.0, "");
    stopAll();
  }

  // A till beside a flood of idle connections that reopen as soon as they are closed.
  if (wanted("flood")) {
    const fs::path a = ecrsim("flood1", 0), b = ecrsim("flood2", 0);
    const int port = startService("svc-flood", {a, b});
    const pid_t svc = gChildren.back();
    // The service at work first, the till alone for as long as the flood will last: the
    // receipts it posts warm the store's caches as the flood's own till will, so the
    // figure after is what the flood left behind, not what a day's first receipts take.
    const svc::Figures alone = svc::tillUnderFlood(port, 0, std::chrono::seconds(20), "alone");
    const long before = svc::residentKiB(svc);
    const svc::Figures f = svc::tillUnderFlood(port, 1100, std::chrono::seconds(20), "flood");
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the flood's connections ended
    const long after = svc::residentKiB(svc);
    std::printf(
        "a till alone: %s\na till beside 1,100 reconnecting idle sockets for 20 s: %s; "
        "resident %ld KiB before, %ld KiB after\n",
        alone.text().c_str(), f.text().c_str(), before, after);
    v.add("till's requests failed beside a flood", 100.0 * f.failedShare(), 1.0, "%");
    v.add("till's p99 beside a flood", f.p99, 100.0, " ms");
    v.add("resident memory after a flood / before", double(after) / double(before), 1.10, "");
    stopAll();
  }

  // Resident memory over many jobs: status reads, the cheapest job there is.
  if (wanted("memory")) {
    const fs::path a = ecrsim("mem1", 0), b = ecrsim("mem2", 0);
    const int port = startService("svc-mem", {a, b});
    const pid_t svc = gChildren.back();
    httplib::Client cli("127.0.0.1", port);
    Events events(port);
    const json status = {{"kind", "status"}};
    long early = 0;
    for (int i = 0; i < jobs; ++i) {
      const int64_t id =
          post(cli, i % 2 ? "cassa1" : "cassa2", "mem-" + std::to_string(i), status, false);
      // Keep the queues short, so the figure is about jobs done, not jobs waiting.
      if (i % 50 == 49) events.wait(id);
      if (i + 1 == jobs / 10) early = vmRssKiB(svc);
    }
    const long late = vmRssKiB(svc);
    std::printf("cassardd resident: %ld KiB after %d jobs, %ld KiB after %d\n", early, jobs / 10,
                late, jobs);
    v.add("cassardd resident memory growth from " + std::to_string(jobs / 10) + " to " +
              std::to_string(jobs) + " jobs",
          static_cast<double>(late) / static_cast<double>(early), 1.10, "");
    stopAll();
  }

  for (const std::string& l : v.lines) std::printf("%s\n", l.c_str());
  const bool missed = std::any_of(v.lines.begin(), v.lines.end(), [](const std::string& l) {
    return l.find(" MISSED") != std::string::npos;
  });
  std::error_code ec;
  fs::remove_all(gWork, ec);
  return missed ? 1 : 0;
}

// cassardd: flags, start-up order, signals, readiness and the watchdog.

#include <getopt.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "service/api.h"
#include "service/config.h"
#include "service/folder.h"
#include "service/registers.h"
#include "service/restore.h"
#include "service/store.h"
#include "service/trace.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultConfig = "/etc/cassard/cassardd.toml";

constexpr const char* kHelp =
    "Usage: cassardd [--config FILE]\n"
    "       cassardd --backup FILE [--config FILE]\n"
    "       cassardd --restore FILE | --take-back [--config FILE]\n"
    "       cassardd --help | --version\n"
    "\n"
    "The till host's service for fiscal cash registers: receipts and other jobs come in\n"
    "as JSON over HTTP, are committed to disk before the answer, run one at a time per\n"
    "register through cassard, and end in a state that says what the register did.\n"
    "Every uncertain outcome is settled by reading the register, never by running a\n"
    "job twice.\n"
    "\n"
    "  --config FILE  the configuration (default /etc/cassard/cassardd.toml)\n"
    "  --backup FILE  copy the store into FILE, also while the service runs, and end\n"
    "  --restore FILE with the service stopped: put the backup FILE in place of the\n"
    "                 store and take back every job directory it does not know, and end\n"
    "  --take-back    with the service stopped: take back into the store every job\n"
    "                 directory it does not know (a store that lost its -wal), and end\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "\n"
    "Once it serves it prints \"cassardd ready on http://HOST:PORT\" (https with TLS) on\n"
    "stdout.\n"
    "The API: GET /v1/openapi.json. SIGTERM stops it after the running jobs end;\n"
    "a second SIGTERM stops it at once, leaving them to be settled at the next start.\n"
    "It does not start on a store that has lost jobs (job directories it does not\n"
    "know, an empty or damaged store): take them back, or restore the backup, as man\n"
    "cassardd says. One service per state folder: a second one exits 1.\n"
    "Exit status: 0 after a stop (or a backup written), 1 when it cannot serve (or\n"
    "back up), 2 for a bad command line or configuration.\n"
    "\n"
    "More: man cassardd.\n";

// Keeps the store in shape and tells systemd the service is alive.
class Housekeeping {
 public:
  Housekeeping(const cassardd::Config& cfg, cassardd::Store& store,
               const cassardd::Registers& registers)
      : cfg_(cfg), store_(store), registers_(registers) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec / 2);
    thread_ = std::thread([this] { loop(); });
  }
  ~Housekeeping() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  void loop() {
    auto nextPrune = std::chrono::steady_clock::now();
    std::unique_lock lock(m_);
    while (!stop_) {
      lock.unlock();
      if (watchdog_.count() > 0) {
        // A stuck worker stops the pings: systemd then restarts the service, and the
        // job that worker held is settled from the register at the next start.
        const std::string stuck = registers_.stuck();
        if (!stuck.empty() && !reportedStuck_) {
          std::cerr << "cassardd: " << stuck << "; systemd's watchdog is no longer told all is well"
                    << std::endl;
          sd_notifyf(0, "STATUS=stuck: %s", stuck.c_str());
        }
        reportedStuck_ = !stuck.empty();
        if (stuck.empty() && store_.alive()) sd_notify(0, "WATCHDOG=1");
      }
      if (std::chrono::steady_clock::now() >= nextPrune) {
        try {
          cassardd::removeJobDirs(cfg_.stateDir, store_.prune(cfg_.keepDays));
        } catch (const std::exception& e) {
          std::cerr << "cassardd: pruning old jobs: " << e.what() << std::endl;
        }
        pruneStatusLogs();
        nextPrune += std::chrono::hours(1);
      }
      lock.lock();
      // With its predicate: a stop told while the pruning ran is not missed.
      cv_.wait_for(lock,
                   watchdog_.count() > 0
                       ? std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_)
                       : std::chrono::milliseconds(60000),
                   [this] { return stop_; });
    }
  }
  // The dump logs of failed status reads, one per register and day, go with the jobs.
  void pruneStatusLogs() {
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(24) * cfg_.keepDays;
    for (const cassardd::RegisterConfig& r : cfg_.registers)
      for (const auto& e :
           fs::directory_iterator(cassardd::StateFolder{cfg_.stateDir}.reg(r.name), ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("dump", 0) == 0 && e.last_write_time(ec) < cutoff) fs::remove(e.path(), ec);
      }
  }
  const cassardd::Config& cfg_;
  cassardd::Store& store_;
  const cassardd::Registers& registers_;
  bool reportedStuck_ = false;  // said in the log once per time a worker is stuck
  std::chrono::microseconds watchdog_{0};
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

std::string storePath(const cassardd::Config& cfg) {
  return cassardd::StateFolder{cfg.stateDir}.store().string();
}

std::string oneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

const char* const kWhatToDo =
    ": take them back with cassardd --take-back, or put the backup made with cassardd --backup "
    "in place with cassardd --restore FILE, which takes back the job directories newer than it "
    "(man cassardd); or, if the store is meant to start empty, move the job directories out of ";

// A store that has forgotten jobs would give their keys to new jobs, and a till's retry
// would print its sale again: the service does not start on one.
std::string checkBeforeOpen(const cassardd::Config& cfg) {
  const std::string db = storePath(cfg);
  std::error_code ec;
  const bool exists = fs::exists(db, ec);
  if (exists && fs::file_size(db, ec) > 0) return {};
  const std::vector<int64_t> dirs = cassardd::jobDirIds(cfg.stateDir);
  if (dirs.empty()) return {};  // a fresh state_dir
  return "the store " + db + (exists ? " is empty" : " is missing") + " while " +
         std::to_string(dirs.size()) + " job directories are in " +
         cassardd::StateFolder{cfg.stateDir}.jobs().string() + " (" + cassardd::someIds(dirs) +
         ")" + kWhatToDo + cassardd::StateFolder{cfg.stateDir}.jobs().string();
}

std::string checkStore(const cassardd::Config& cfg, cassardd::Store& store) {
  const std::string db = storePath(cfg);
  if (const std::string check = store.quickCheck(); check != "ok")
    return "the store " + db + " is damaged (" + oneLine(check.substr(0, 300)) +
           "): restore it from the backup made with cassardd --backup (man cassardd)";
  const std::vector<int64_t> dirs = cassardd::jobDirIds(cfg.stateDir);
  std::vector<int64_t> pruned;
  std::vector<int64_t> unknown = store.unknownJobs(dirs, &pruned);
  cassardd::setAsideUnacknowledged(cfg.stateDir, store, unknown);
  const fs::path jobs = cassardd::StateFolder{cfg.stateDir}.jobs();
  if (!unknown.empty())
    return "the store " + db + " does not know " + std::to_string(unknown.size()) +
           " of the job directories in " + jobs.string() + " (" + cassardd::someIds(unknown) +
           "): it has lost jobs (its -wal removed, or an older copy put in its place)" + kWhatToDo +
           jobs.string();
  if (const std::vector<int64_t> behind = cassardd::behindTraces(cfg.stateDir, store);
      !behind.empty())
    return "the store " + db + " has " + std::to_string(behind.size()) +
           " jobs as undecided that their traces in " + jobs.string() + " say went further (" +
           cassardd::someIds(behind) +
           "): it has lost their moves (its -wal removed, or an older copy put " +
           "in its place), and would run them again" + kWhatToDo + jobs.string();
  // What an hourly prune removed from the store but not yet from the disk.
  cassardd::removeJobDirs(cfg.stateDir, pruned);
  // Above every directory, and every id whose directory went: whatever the store lost.
  store.raiseJobIdMark(
      std::max(dirs.empty() ? 0 : dirs.back(), cassardd::readIdMark(cfg.stateDir)));
  return {};
}

// What to do about a store that failed at start: a full disk is freed, never restored.
std::string startFault(const cassardd::Config& cfg, const std::string& what) {
  std::error_code ec;
  const fs::space_info space = fs::space(cfg.stateDir, ec);
  if (what.find("disk is full") != std::string::npos ||
      what.find("No space left") != std::string::npos || (!ec && space.available < (1 << 20)))
    return ": free space on " + cfg.stateDir + ", then start again";
  return " (a damaged store is restored from the backup made with cassardd --backup: man "
         "cassardd)";
}

int backup(const cassardd::Config& cfg, const std::string& to) {
  try {
    const cassardd::BackupCount n = cassardd::backupStore(storePath(cfg), to);
    std::cout << "cassardd: backup of " << storePath(cfg) << " written to " << to << ": " << n.jobs
              << " jobs, " << n.pruned << " keys of pruned jobs" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "cassardd: backup failed: " << e.what() << std::endl;
    return 1;
  }
}

// The state folder made, the store opened and checked against it, and the jobs that were
// running made uncertain; nothing, said on stderr, when the service must not start.
// The state folder made and locked, the store opened and checked against the jobs'
// traces, the runs a stop left behind made uncertain; null (and why on stderr) when the
// service cannot start.
std::unique_ptr<cassardd::Store> openStore(const cassardd::Config& cfg, cassardd::JobTrace& trace) {
  std::error_code ec;
  const cassardd::StateFolder folder{cfg.stateDir};
  for (const fs::path& sub : {folder.jobs(), folder.registers()}) fs::create_directories(sub, ec);
  if (ec) {
    std::cerr << "cassardd: state_dir " << cfg.stateDir << ": " << ec.message() << std::endl;
    return nullptr;
  }
  if (const std::string held = cassardd::lockStateDir(cfg.stateDir); !held.empty()) {
    std::cerr << "cassardd: " << held << std::endl;
    return nullptr;
  }
  std::unique_ptr<cassardd::Store> store;
  try {
    if (const std::string refused = checkBeforeOpen(cfg); !refused.empty()) {
      std::cerr << "cassardd: " << refused << std::endl;
      return nullptr;
    }
    store = std::make_unique<cassardd::Store>(storePath(cfg));
    store->setTrace(&trace);
    if (const std::string refused = checkStore(cfg, *store); !refused.empty()) {
      std::cerr << "cassardd: " << refused << std::endl;
      return nullptr;
    }
    for (const cassardd::Job& j : store->recoverRunning())
      std::cerr << "cassardd: job " << j.id << " (register " << j.reg << ", key " << j.key
                << ") was running when the service stopped: uncertain until the register is read"
                << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "cassardd: the store in " << cfg.stateDir << ": " << oneLine(e.what())
              << startFault(cfg, e.what()) << std::endl;
    return nullptr;
  }
  return store;
}

int serve(cassardd::Config cfg) {
  // The signals are taken by sigwait below, in this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Past a file size limit a write fails (the store answers 503) instead of ending us.
  signal(SIGXFSZ, SIG_IGN);

  cassardd::JobTrace trace(cfg.stateDir);  // outlives the store that writes to it
  const std::unique_ptr<cassardd::Store> store = openStore(cfg, trace);
  if (!store) return 1;

  cassardd::Registers registers(cfg, *store);
  cassardd::Api api(cfg, *store, registers);
  const int port = api.bind();
  if (port < 0) {
    std::cerr << "cassardd: cannot listen on " << cfg.listenHost << ":" << cfg.listenPort << ": "
              << std::strerror(errno) << std::endl;
    return 1;
  }
  registers.start();
  std::atomic<bool> served{false};
  std::thread http([&api, &served] {
    api.serve();
    served = true;
  });
  // Ready only once the listener runs: a stop that came before would not reach it, and
  // the stop would then wait for it for ever.
  while (!api.listening() && !served) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::string host =
      cfg.listenHost.find(':') != std::string::npos ? "[" + cfg.listenHost + "]" : cfg.listenHost;
  const char* scheme = cfg.tls() ? "https" : "http";
  if (!api.listening()) {
    http.join();
    std::cerr << "cassardd: cannot serve " << scheme << " on " << host << ":" << port << std::endl;
    registers.stop(false);
    return 1;
  }
  Housekeeping housekeeping(cfg, *store, registers);

  std::cout << "cassardd ready on " << scheme << "://" << host << ":" << port << std::endl;
  std::cerr << "cassardd: " << CASSARDD_VERSION << " serving " << cfg.registers.size()
            << " register(s) on " << host << ":" << port << ", state in " << cfg.stateDir
            << std::endl;
  sd_notifyf(0, "READY=1\nSTATUS=serving on %s:%d", host.c_str(), port);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  std::cerr << "cassardd: stopping (signal " << sig << "): running jobs end first" << std::endl;
  sd_notify(0, "STOPPING=1\nSTATUS=stopping: running jobs end first");
  api.stop();
  std::thread stopper([&registers] { registers.stop(false); });
  // A second signal does not wait for the running jobs: they are settled at the next start.
  std::thread second([&] {
    int again = 0;
    sigwait(&stopSignals, &again);
    registers.abandon();
  });
  stopper.join();
  http.join();
  // The second waiter is still in sigwait: wake it with a signal it takes.
  pthread_kill(second.native_handle(), SIGTERM);
  second.join();
  std::cerr << "cassardd: stopped" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath = kDefaultConfig;
  std::optional<std::string> backupTo, restoreFrom;
  bool takeBack = false;
  static const option longopts[] = {{"config", required_argument, nullptr, 'c'},
                                    {"backup", required_argument, nullptr, 'b'},
                                    {"restore", required_argument, nullptr, 'r'},
                                    {"take-back", no_argument, nullptr, 't'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'v'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case 'c':
        configPath = optarg;
        break;
      case 'b':
        backupTo = optarg;
        break;
      case 'r':
        restoreFrom = optarg;
        takeBack = true;
        break;
      case 't':
        takeBack = true;
        break;
      case 'h':
        std::cout << kHelp;
        return 0;
      case 'v':
        std::cout << "cassardd (cassard) " CASSARDD_VERSION "\n";
        return 0;
      default:
        std::cerr << "cassardd: "
                  << (optopt ? std::string(optopt == 'b'   ? "--backup"
                                           : optopt == 'r' ? "--restore"
                                                           : "--config") +
                                   " wants a file"
                             : "unknown option " + std::string(argv[optind - 1]))
                  << "\n(cassardd --help for usage)\n";
        return 2;
    }
  }
  if (optind < argc) {
    std::cerr << "cassardd: unexpected argument " << argv[optind]
              << "\n(cassardd --help for usage)\n";
    return 2;
  }
  cassardd::Config cfg;
  try {
    cfg = cassardd::loadConfig(configPath);
    // A job's child runs in the job's own directory: the driver's path must not depend on it.
    cfg.cassard = fs::absolute(cfg.cassard).string();
    if (access(cfg.cassard.c_str(), X_OK) != 0 || !fs::is_regular_file(cfg.cassard))
      throw cassardd::ConfigError("cassard: " + cfg.cassard + " is not an executable file");
    cfg.stateDir = fs::absolute(cfg.stateDir).string();
    cfg.webDir = fs::absolute(cfg.webDir).string();
  } catch (const cassardd::ConfigError& e) {
    std::cerr << "cassardd: " << e.what() << std::endl;
    return 2;
  }
  if (backupTo) return backup(cfg, *backupTo);
  if (takeBack) {
    // The service is stopped: its lock says so, and is held while the store is changed.
    std::error_code ec;
    fs::create_directories(cassardd::StateFolder{cfg.stateDir}.jobs(), ec);
    if (const std::string held = cassardd::lockStateDir(cfg.stateDir); !held.empty()) {
      std::cerr << "cassardd: " << held << ": stop it first" << std::endl;
      return 1;
    }
    return cassardd::restoreState(cfg, restoreFrom);
  }
  return serve(std::move(cfg));
}

#include "service_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

namespace svc {

using Clock = std::chrono::steady_clock;

Launched launch(const std::vector<std::string>& argv, const std::string& errFile, bool append,
                long fileSizeLimit, std::chrono::milliseconds wait) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const int err =
      open(errFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  Launched l;
  l.pid = fork();
  if (l.pid == 0) {
    dup2(out[1], 1);
    dup2(err, 2);
    if (fileSizeLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> a;
    for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  close(out[1]);
  if (err >= 0) close(err);
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (l.line.find('\n') == std::string::npos &&
         poll(&p, 1, static_cast<int>(wait.count())) > 0 && read(out[0], &c, 1) == 1)
    l.line.push_back(c);
  close(out[0]);
  return l;
}

int readyPort(const std::string& line) {
  const auto colon = line.rfind(':');
  if ((line.rfind("cassardd ready on http://127.0.0.1:", 0) != 0 &&
       line.rfind("cassardd ready on https://127.0.0.1:", 0) != 0) ||
      colon == std::string::npos)
    return 0;
  return std::atoi(line.c_str() + colon + 1);
}

std::string Figures::text() const {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "%zu requests, %zu failed (%.2f%%), p50 %.1f ms, p99 %.1f ms, max %.1f ms",
                requests, failed, 100.0 * failedShare(), p50, p99, max);
  return buf;
}

namespace {

Figures figuresOf(std::vector<double> ms, std::size_t failed) {
  Figures f;
  f.requests = ms.size();
  f.failed = failed;
  if (ms.empty()) return f;
  std::sort(ms.begin(), ms.end());
  f.p50 = ms[ms.size() / 2];
  f.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  f.max = ms.back();
  return f;
}

double since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

const std::string kReceipt =
    R"({"items":[{"description":"PANE","price":125}],"payments":[{"method":"contanti","amount":125}]})";

// One POST of a receipt on a connection of its own: whether it was 201.
bool postReceipt(int port, const std::string& key) {
  httplib::Client cli("127.0.0.1", port);
  cli.set_read_timeout(std::chrono::seconds(10));
  const auto r = cli.Post("/v1/registers/cassa1/receipts", {{"Idempotency-Key", key}}, kReceipt,
                          "application/json");
  return r && r->status == 201;
}

}  // namespace

Figures postsUnderReaders(int port, int readers, int posts, const std::string& tag) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < readers; ++i)
    threads.emplace_back([&, i] {
      httplib::Client cli("127.0.0.1", port);
      for (int n = i; !stop; ++n) cli.Get(n % 2 ? "/v1/service" : "/v1/jobs?limit=500");
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the readers under way
  std::vector<double> ms;
  std::size_t failed = 0;
  for (int i = 0; i < posts; ++i) {
    const auto t0 = Clock::now();
    failed += !postReceipt(port, tag + "-" + std::to_string(i));
    ms.push_back(since(t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop = true;
  for (auto& t : threads) t.join();
  return figuresOf(std::move(ms), failed);
}

Figures tillUnderFlood(int port, int sockets, std::chrono::seconds length, const std::string& tag) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur =
      std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, sockets + 256));
  setrlimit(RLIMIT_NOFILE, &files);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto dial = [&a] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
  };
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::vector<pollfd> fds;
    for (int i = 0; i < sockets; ++i) fds.push_back({dial(), POLLIN, 0});
    while (!stop) {
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (pollfd& p : fds)
        if (p.revents) {  // closed by the service (or refused): open it again at once
          close(p.fd);
          p = {dial(), POLLIN, 0};
        }
    }
    for (pollfd& p : fds) close(p.fd);
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the flood at its height
  std::vector<double> ms;
  std::size_t failed = 0;
  const auto end = Clock::now() + length;
  for (int i = 0; Clock::now() < end; ++i) {
    const auto t0 = Clock::now();
    if (i % 5 == 4) {
      failed += !postReceipt(port, tag + "-" + std::to_string(i));
    } else {
      httplib::Client cli("127.0.0.1", port);
      cli.set_read_timeout(std::chrono::seconds(10));
      const auto r = cli.Get("/v1/registers");
      failed += !r || r->status != 200;
    }
    ms.push_back(since(t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop = true;
  flood.join();
  return figuresOf(std::move(ms), failed);
}

long residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(in, l);)
    if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
  return -1;
}

}  // namespace svc

// cassardd against clients that mean harm: forged Host and Origin names, bodies past the limit
// however they are sent, clients that send slowly or not at all, event streams opened and
// dropped, and HTTPS with a certificate of the shop's own small CA.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "service_load.h"
#include "service_rig.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using svc::json;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A raw TCP connection to the service: what an attacker sends is exactly what is written.
class Raw {
 public:
  explicit Raw(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) shut();
  }
  Raw(Raw&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Raw(const Raw&) = delete;
  ~Raw() { shut(); }
  void shut() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool send(std::string_view s) {
    while (!s.empty()) {
      const ssize_t n = ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      s.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // What arrives until `enough` says so, the service closes, or `limit` passes.
  std::string read(const std::function<bool(const std::string&)>& enough,
                   std::chrono::milliseconds limit = 5000ms) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (!enough(got)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  // A whole response of known length, or what came before the end.
  std::string response(std::chrono::milliseconds limit = 5000ms) {
    return read(
        [](const std::string& r) {
          const auto end = r.find("\r\n\r\n");
          if (end == std::string::npos) return false;
          const auto cl = r.find("Content-Length: ");
          if (cl == std::string::npos || cl > end) return true;
          return r.size() >= end + 4 + std::stoul(r.substr(cl + 16));
        },
        limit);
  }
  // True when the service ended the connection within `limit` (end of stream or reset).
  bool closedWithin(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    do {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buf[512];
        if (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) <= 0) return true;
      }
    } while (Clock::now() < deadline);
    return false;
  }

 private:
  int fd_;
};

int statusOf(const std::string& response) {
  if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return -1;
  return std::stoi(response.substr(9, 3));
}

std::string request(const std::string& method, const std::string& path, const std::string& host,
                    const std::string& headers = "", const std::string& body = "") {
  return method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers +
         (body.empty() && method == "GET"
              ? ""
              : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
         "Connection: close\r\n\r\n" + body;
}

std::string roundTrip(int port, const std::string& text) {
  Raw r(port);
  r.send(text);
  return r.response();
}

std::string chunk(std::size_t n) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", n);
  return size + std::string(n, ' ') + "\r\n";
}

// cassardd's resident memory, its peak (VmHWM) or now (VmRSS), in KiB.
long memoryKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// An event stream's opening: the status line, then the first chunk for a 200.
std::string openStream(Raw& r) {
  r.send(request("GET", "/v1/events", "localhost"));
  return r.read([](const std::string& s) {
    return statusOf(s) > 0 && statusOf(s) != 200 ? s.find("\r\n\r\n") != std::string::npos
                                                 : s.find("retry: ") != std::string::npos;
  });
}

// A small CA and a server certificate it signed for 127.0.0.1 and localhost, made the way
// a shop makes its own.
bool makeCertificates(const std::filesystem::path& d) {
  std::filesystem::create_directories(d);
  const std::string q = " >/dev/null 2>&1";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  std::ofstream(d / "server.ext") << "subjectAltName = IP:127.0.0.1, DNS:localhost\n"
                                  << "extendedKeyUsage = serverAuth\n";
  return std::system(("cd " + d.string() + " && openssl req -x509" + ec +
                      " -keyout ca.key -out ca.pem -days 2 -subj '/CN=cassardd test CA'"
                      " -addext basicConstraints=critical,CA:TRUE"
                      " -addext keyUsage=critical,keyCertSign,cRLSign" +
                      q + " && openssl req" + ec +
                      " -keyout server.key -out server.csr -subj '/CN=127.0.0.1'" + q +
                      " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key"
                      " -CAcreateserial -out server.pem -days 2 -extfile server.ext" +
                      q)
                         .c_str()) == 0;
}

struct Attack {
  std::string sends;  // what the attacker does
  std::string holds;  // what must hold meanwhile and after
  std::function<void(svc::Service&)> run;
};

TEST(Attack, NoClientBreaksOrStallsTheService) {
  svc::Service s({.origins = R"(["http://till.local/"])"});
  const int port = s.port();
  const std::string p = std::to_string(port);
  std::vector<Attack> attacks;

  // Host names: only the loopback's own, with no port or the one it listens on.
  const std::pair<std::string, int> hosts[] = {
      {"127.evil.example", 403},
      {"127.0.0.1.nip.io", 403},
      {"127.1", 403},
      {"127.0.0.1.", 403},
      {"localhost.", 403},
      {"127.0.0.1:" + p + "@evil.example", 403},
      {"localhost:1", 403},
      {"localhost:", 403},
      {"2130706433", 403},
      {"127.0.0.2", 403},
      {"[::ffff:127.0.0.1]", 403},
      {"evil.example", 403},
      {"localhost", 200},
      {"LocalHost:" + p, 200},
      {"127.0.0.1", 200},
      {"127.0.0.1:" + p, 200},
      {"[::1]", 200},
      {"[::1]:" + p, 200},
  };
  for (const auto& [h, w] : hosts) {
    const std::string host = h;
    const int want = w;
    attacks.push_back({"Host: " + host, want == 200 ? "served" : "403 forbidden, field Host",
                       [host, want, port](svc::Service&) {
                         const std::string r =
                             roundTrip(port, request("GET", "/v1/registers", host));
                         EXPECT_EQ(statusOf(r), want) << r;
                         if (want == 403) {
                           EXPECT_NE(r.find("\"field\":\"Host\""), std::string::npos);
                         }
                       }});
  }

  // Origins: the same names for the service's own page, or one configured.
  const std::pair<std::string, int> origins[] = {
      {"http://localhost:" + p, 200},
      {"https://127.0.0.1:" + p, 200},
      {"http://[::1]:" + p, 200},
      {"http://till.local", 200},
      {"http://127.1:" + p, 403},
      {"http://localhost:" + p + "@evil.example", 403},
      {"http://localhost.:" + p, 403},
      {"ftp://localhost:" + p, 403},
      {"null", 403},
      {"http://till.local.evil.example", 403},
      {"http://127.0.0.1", 403},  // port 80 of the till's computer: another origin
      {"https://localhost", 403},
  };
  for (const auto& [o, w] : origins) {
    const std::string origin = o;
    const int want = w;
    attacks.push_back({"Origin: " + origin, want == 200 ? "served" : "403 forbidden",
                       [origin, want, port](svc::Service&) {
                         const std::string r =
                             roundTrip(port, request("GET", "/v1/registers",
                                                     "localhost:" + std::to_string(port),
                                                     "Origin: " + origin + "\r\n"));
                         EXPECT_EQ(statusOf(r), want) << r;
                       }});
  }

  attacks.push_back(
      {"a configured origin's request", "Location is among the headers a script may read",
       [port](svc::Service&) {
         const std::string r =
             roundTrip(port, request("POST", "/v1/registers/cassa1/receipts", "localhost",
                                     "Origin: http://till.local\r\nIdempotency-Key: cors-1\r\n"
                                     "Content-Type: application/json\r\n",
                                     svc::receipt().dump()));
         EXPECT_EQ(statusOf(r), 201) << r;
         EXPECT_NE(r.find("Access-Control-Expose-Headers: Location"), std::string::npos) << r;
       }});

  // What a check could misread, and what the server refuses before any handler: each answered
  // with the API's JSON error. The port-less origin's POST must not reach the handler (409).
  const std::string big(40000, 'a');
  const std::tuple<std::string, std::string, int> heads[] = {
      {"a folded Host", "GET /v1/registers HTTP/1.1\r\nHost: evil.example\r\n x\r\n\r\n", 400},
      {"two Hosts", "GET /v1/registers HTTP/1.1\r\nHost: localhost\r\nHost: evil\r\n\r\n", 400},
      {"a header line with no colon", "GET /healthz HTTP/1.1\r\nHost: localhost\r\nbad\r\n\r\n",
       400},
      {"40 KB of headers", "GET /healthz HTTP/1.1\r\nHost: localhost\r\nX-Big: " + big + "\r\n\r\n",
       431},
      {"a 3000-byte path",
       "GET /" + std::string(3000, 'a') + " HTTP/1.1\r\nHost: localhost\r\n\r\n", 414},
      {"Content-Length past 64 KiB",
       "POST /v1/registers/cassa1/receipts HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
       "70000\r\n\r\n",
       413},
      {"a port-less origin's resume",
       request("POST", "/v1/registers/cassa1/resume", "localhost",
               "Origin: http://127.0.0.1\r\nContent-Type: application/json\r\n", "{}"),
       403},
      {"Content-Type: Application/JSON ; charset=utf-8",
       request("POST", "/v1/registers/cassa1/receipts", "localhost",
               "Idempotency-Key: mixed-case\r\nContent-Type: Application/JSON ; charset=utf-8\r\n",
               svc::receipt().dump()),
       201},
  };
  for (const auto& [what, text, want] : heads)
    attacks.push_back({what, std::to_string(want) + ", the API's JSON",
                       [port, text = text, want = want](svc::Service&) {
                         const std::string r = roundTrip(port, text);
                         EXPECT_EQ(statusOf(r), want) << r;
                         const json body = json::parse(
                             r.substr(std::min(r.size(), r.find("\r\n\r\n") + 4)), nullptr, false);
                         EXPECT_TRUE(want == 201 || body["error"].contains("field")) << r;
                         EXPECT_NE(r.find("Content-Type: application/json"), std::string::npos)
                             << r;
                       }});

  attacks.push_back({"a body of arrays nested 30,000 deep", "400 bad_json; nothing queued",
                     [port](svc::Service&) {
                       const std::string body(30000, '[');
                       const std::string r = roundTrip(
                           port, request("POST", "/v1/registers/cassa1/receipts", "localhost",
                                         "Idempotency-Key: deep\r\nContent-Type: "
                                         "application/json\r\n",
                                         body + std::string(30000, ']')));
                       EXPECT_EQ(statusOf(r), 400) << r;
                       EXPECT_NE(r.find("bad_json"), std::string::npos) << r;
                     }});

  // One post of `total` bytes in chunks of 64 KiB, stopping at the answer; what it sent.
  auto chunkedPost = [port](const std::string& key, std::size_t total, std::string& answer) {
    Raw r(port);
    r.send(
        "POST /v1/registers/cassa1/receipts HTTP/1.1\r\nHost: localhost\r\n"
        "Content-Type: application/json\r\nIdempotency-Key: " +
        key + "\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string piece = chunk(64 * 1024);
    std::size_t sent = 0;
    while (sent < total) {
      pollfd pf{r.fd(), POLLIN, 0};
      if (poll(&pf, 1, 0) > 0 || !r.send(piece)) break;
      sent += 64 * 1024;
    }
    answer = r.response();
    return sent;
  };
  attacks.push_back({"a receipt of 200 KiB, chunked", "413 too_large; nothing queued",
                     [chunkedPost](svc::Service& svc) {
                       const auto before = svc.get("/v1/jobs").body["jobs"].size();
                       std::string answer;
                       chunkedPost("chunked-200k", 200 * 1024, answer);
                       EXPECT_EQ(statusOf(answer), 413) << answer;
                       EXPECT_NE(answer.find("too_large"), std::string::npos) << answer;
                       EXPECT_EQ(svc.get("/v1/jobs").body["jobs"].size(), before);
                     }});
  attacks.push_back(
      {"four posts of 300 MB at once, chunked", "each 413 early; peak memory under 96 MiB",
       [chunkedPost](svc::Service& svc) {
         std::vector<std::thread> posts;
         std::string answers[4];
         std::size_t sent[4] = {};
         for (int i = 0; i < 4; ++i)
           posts.emplace_back([&, i] {
             sent[i] = chunkedPost("huge-" + std::to_string(i), 300u << 20, answers[i]);
           });
         for (auto& t : posts) t.join();
         for (int i = 0; i < 4; ++i) {
           EXPECT_EQ(statusOf(answers[i]), 413) << answers[i];
           EXPECT_LT(sent[i], 16u << 20) << "the service stopped reading at the limit";
         }
         const long peak = memoryKiB(svc.pid(), "VmHWM");
         std::cout << "[ figures  ] cassardd's peak resident memory after 4 x 300 MB chunked: "
                   << peak / 1024.0 << " MiB\n";
         // One body held whole would be 300 MB: the bound leaves room for the sanitizers,
         // the store's read connections and the allocator's arenas, never for a body.
         EXPECT_LT(peak, 96 * 1024);
       }});

  attacks.push_back({"32 event streams opened and dropped, then 32 more",
                     "the 33rd open stream is 503; a dropped stream's slot is free within 1 s",
                     [port](svc::Service&) {
                       std::vector<Raw> streams;
                       for (int i = 0; i < 32; ++i) {
                         streams.emplace_back(port);
                         ASSERT_EQ(statusOf(openStream(streams.back())), 200) << i;
                       }
                       Raw extra(port);
                       EXPECT_EQ(statusOf(openStream(extra)), 503);
                       streams.clear();
                       std::this_thread::sleep_for(1000ms);
                       for (int i = 0; i < 32; ++i) {
                         streams.emplace_back(port);
                         EXPECT_EQ(statusOf(openStream(streams.back())), 200) << i;
                       }
                       streams.clear();
                       std::this_thread::sleep_for(1000ms);
                     }});

  attacks.push_back(
      {"256 clients sending headers a byte a second, 256 idle sockets, 32 event streams",
       "a till's /healthz and POST receipt within 100 ms at p99; the slow and idle "
       "connections closed 10 s after they connected",
       [port](svc::Service& svc) {
         // The same till alone first: a POST's own cost is mostly the store's wait for the
         // disk, which the machine's other work moves.
         std::vector<double> alone;
         for (int i = 0; i < 20; ++i) {
           const auto t0 = Clock::now();
           EXPECT_EQ(svc.post("cassa2", "alone-" + std::to_string(i), svc::receipt()).status, 201);
           alone.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
         }
         const double aloneMax = *std::max_element(alone.begin(), alone.end());
         const auto start = Clock::now();
         std::vector<Raw> slow, idle, streams;
         for (int i = 0; i < 256; ++i) {
           slow.emplace_back(port);
           slow.back().send("GET /healthz HTTP/1.1\r\nHost: localhost\r\nX-Slow: ");
           idle.emplace_back(port);
         }
         for (int i = 0; i < 32; ++i) {
           streams.emplace_back(port);
           ASSERT_EQ(statusOf(openStream(streams.back())), 200);
         }
         std::atomic<bool> done{false};
         std::thread feeder([&] {
           while (!done) {
             for (Raw& r : slow) ::send(r.fd(), "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
             for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(100ms);
           }
         });
         std::vector<double> ms, posts;
         for (int i = 0; i < 100; ++i) {
           const auto t0 = Clock::now();
           const std::string r = roundTrip(port, request("GET", "/healthz", "localhost"));
           ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
           EXPECT_EQ(statusOf(r), 200) << r;
           if (i % 5 == 0) {
             const auto t1 = Clock::now();
             const svc::Reply post =
                 svc.post("cassa2", "busy-" + std::to_string(i), svc::receipt());
             ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t1).count());
             posts.push_back(ms.back());
             EXPECT_EQ(post.status, 201) << post.text;
           }
         }
         std::sort(ms.begin(), ms.end());
         const double p99 = ms[ms.size() * 99 / 100], p50 = ms[ms.size() / 2];
         std::cout << "[ figures  ] good client under 256 slow + 256 idle + 32 streams: p50 " << p50
                   << " ms, p99 " << p99 << " ms, max " << ms.back() << " ms over " << ms.size()
                   << " requests; the slowest POST "
                   << *std::max_element(posts.begin(), posts.end())
                   << " ms; alone, a POST took at most " << aloneMax << " ms\n";
         // A stall behind the attackers would be seconds; a slow disk under the machine's
         // other work may make the till's own POST dearer, attack or none.
         EXPECT_LT(p99, std::max(100.0, 2 * aloneMax));
         EXPECT_LT(ms[ms.size() * 9 / 10], 100.0);
         // The bound is 10 s from the connection's start, however the bytes trickle.
         const auto bound = start + 12s;
         int open = 0;
         for (Raw& r : slow)
           open += !r.closedWithin(
               std::chrono::duration_cast<std::chrono::milliseconds>(bound - Clock::now()));
         for (Raw& r : idle)
           open += !r.closedWithin(
               std::chrono::duration_cast<std::chrono::milliseconds>(bound - Clock::now()));
         EXPECT_EQ(open, 0) << "slow or idle connections still open 12 s after they connected";
         done = true;
         feeder.join();
       }});

  attacks.push_back(
      {"800 idle sockets, more than the 768 past which idle ones give way",
       "enough closed within 3 s (not the 10 s of a quiet time) to be under 768 again; a till "
       "is served",
       [port](svc::Service&) {
         std::vector<Raw> idle;
         for (int i = 0; i < 800; ++i) idle.emplace_back(port);
         const auto deadline = Clock::now() + 3s;
         int open = 0;
         for (Raw& r : idle)
           open += !r.closedWithin(
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
         EXPECT_LE(open, 768);
         EXPECT_EQ(statusOf(roundTrip(port, request("GET", "/healthz", "localhost"))), 200);
       }});

  // The flood is 8 s here (20 s in the bench): long enough for the reaper's 1 s bound under
  // pressure to turn every socket over several times. Its p99 bound is the release build's
  // (the bench holds it); under the sanitizers, with other tests running beside it, each
  // connection's thread costs several times more, so there it is 1.5 s: a till locked out
  // would still fail its requests, which the failure share catches.
  attacks.push_back({"1,100 idle sockets reopened as soon as they are closed, for 8 s",
                     "a till loses at most 1% of its requests, p99 under 100 ms; resident memory "
                     "within 10% of its start 3 s after",
                     [port](svc::Service& svc) {
                       const svc::Figures alone = svc::tillUnderFlood(port, 0, 3s, "alone");
                       const long before = svc::residentKiB(svc.pid());
                       const svc::Figures f = svc::tillUnderFlood(port, 1100, 8s, "flood");
                       std::this_thread::sleep_for(3s);
                       const long after = svc::residentKiB(svc.pid());
                       std::cout << "[ figures  ] a till alone: " << alone.text()
                                 << "; beside the flood: " << f.text() << "; resident " << before
                                 << " KiB before, " << after << " KiB after\n";
                       EXPECT_LE(f.failedShare(), 0.01);
                       EXPECT_LT(f.p99, std::max(kSanitized ? 1500.0 : 100.0, 2 * alone.p99));
                       EXPECT_LT(after, before * 11 / 10);
                     }});
  attacks.push_back(
      {"eight clients reading /v1/jobs?limit=500 and /v1/service over 1,000 jobs",
       "a till's POST within 20 ms at p99", [](svc::Service& svc) {
         // Receipts expired as they come: the store holds 1,000 jobs, and no run writes
         // beside the till's POSTs.
         json old = svc::receipt();
         old["expiresAt"] = "2000-01-01T00:00:00Z";
         svc::Reply r;
         for (int i = 0; i < 1000; ++i)
           ASSERT_EQ((r = svc.post("cassa2", "many-" + std::to_string(i), old)).status, 201);
         svc.waitJob(r.body["id"].get<int64_t>(), {"failed"}, 120s);
         const svc::Figures alone = svc::postsUnderReaders(svc.port(), 0, 50, "one");
         const svc::Figures f = svc::postsUnderReaders(svc.port(), 8, 100, "read");
         std::cout << "[ figures  ] a till's POST alone: " << alone.text()
                   << "; under 8 readers: " << f.text() << "\n";
         EXPECT_EQ(f.failed, 0u);
         // Under the sanitizers a checkpoint of the store's log now and then takes hundreds
         // of ms of one POST, readers or none: there the median is held (a reader holding
         // the till up shows there too), the p99 in the release build and the bench.
         if (kSanitized)
           EXPECT_LT(f.p50, std::max(20.0, 4 * alone.p50));
         else
           EXPECT_LT(f.p99, std::max(20.0, 2 * alone.p99));
       }});

  attacks.push_back(
      {"HTTPS with a certificate of the shop's CA (tls_cert, tls_key)",
       "GET /healthz over TLS verified against the CA; plain HTTP on that port gets no answer",
       [](svc::Service& plain) {
         const auto d = plain.dir() / "tls";
         ASSERT_TRUE(makeCertificates(d));
         svc::Service t({.config = "tls_cert = \"" + (d / "server.pem").string() +
                                   "\"\ntls_key = \"" + (d / "server.key").string() + "\""});
         httplib::SSLClient cli("127.0.0.1", t.port());
         cli.set_ca_cert_path((d / "ca.pem").string());
         cli.enable_server_certificate_verification(true);
         const auto r = cli.Get("/healthz");
         ASSERT_TRUE(r) << httplib::to_string(r.error());
         EXPECT_EQ(r->status, 200);
         EXPECT_NE(r->body.find("\"ok\""), std::string::npos);
         EXPECT_EQ(statusOf(roundTrip(t.port(), request("GET", "/healthz", "localhost"))), -1);
       }});

  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.sends + " -> " + a.holds);
    a.run(s);
    EXPECT_EQ(s.get("/healthz").status, 200) << "the service answers after it";
  }
}

}  // namespace

#include "service_rig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "service_load.h"

namespace svc {

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

constexpr const char* kWrapper = R"(#!/bin/bash
# cassard, pausing 2 s at a point whose marker file is there (each marker once).
here=$(dirname "$0")
pause() { if mv "$here/pause-$1" "$here/at-$1.tmp" 2>/dev/null; then echo $$ > "$here/at-$1.tmp"; mv "$here/at-$1.tmp" "$here/at-$1"; sleep 2; fi; }
if [ "$1" = "--status" ]; then pause before-status; exec "$REAL_CASSARD" "$@"; fi
pause before-run
"$REAL_CASSARD" "$@"
rc=$?
pause after-run
exit $rc
)";

// Every answer the tests receive, for the contract check that runs after them: one JSON line
// per answer (method, path, status, content type, body) appended to the file that
// CASSARD_CONTRACT_LOG names. One write() per line on an O_APPEND descriptor, so the test
// processes that run side by side never interleave within a line.
void recordAnswer(const std::string& method, const std::string& path, int status,
                  const std::string& type, const std::string& body) {
  const char* file = std::getenv("CASSARD_CONTRACT_LOG");
  if (!file || !*file || status <= 0) return;
  const std::string line =
      json{{"method", method}, {"path", path}, {"status", status}, {"type", type}, {"body", body}}
          .dump(-1, ' ', false, json::error_handler_t::replace) +
      "\n";
  const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    ADD_FAILURE() << "could not record an answer in " << file;
  close(fd);
}

}  // namespace

std::string Reply::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return {};
}

json receipt(const std::string& description, long long price) {
  return {{"items", {{{"description", description}, {"price", price}}}},
          {"payments", {{{"method", "contanti"}, {"amount", price}}}}};
}

Service::Service(Options o) : o_(std::move(o)) {
  std::string tmpl = (fs::temp_directory_path() / "cassardd-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  for (int i = 0; i < 2; ++i) {
    auto args = o_.ecrsimArgs;
    if (o_.control) {
      args.push_back("--control");
      args.push_back((dir_ / ("ctl" + std::to_string(i + 1))).string());
    }
    regs_.push_back(std::make_unique<rig::Rig>("default.json", args));
  }
  // A page of two files, for the static rows.
  fs::create_directories(dir_ / "web");
  std::ofstream(dir_ / "web" / "index.html") << "<!doctype html><title>cassardd</title>\n";
  std::ofstream(dir_ / "web" / "app.js") << "export const ok = true;\n";
  std::ofstream(dir_ / "secret.txt") << "outside the page\n";
  std::string cassard = CASSARD_BIN;
  if (o_.wrapper) {
    cassard = (dir_ / "cassard-wrapper").string();
    std::ofstream(cassard) << kWrapper;
    fs::permissions(cassard, fs::perms(0755));
    setenv("REAL_CASSARD", CASSARD_BIN, 1);
  }
  std::ofstream cfg(dir_ / "cassardd.toml");
  cfg << "listen = \"127.0.0.1:0\"\nstate_dir = \"" << (dir_ / "state").string()
      << "\"\ncassard = \"" << cassard << "\"\ntoken = \"" << o_.token
      << "\"\norigins = " << o_.origins << "\njob_timeout_s = " << o_.jobTimeout << "\nweb_dir = \""
      << (dir_ / "web").string() << "\"\n"
      << o_.config << "\n";
  for (int i = 0; i < 2; ++i)
    cfg << "[registers.cassa" << i + 1 << "]\ndevice = \"" << reg(i).link()
        << "\"\npayments = { contanti = \"10\", carta = \"20\", credito = \"11\" }\n"
        << o_.registerExtra;
  cfg.close();
  start();
}

Service::~Service() {
  if (pid_ > 0) {
    recordEvents();
    kill9();
  }
  if (::testing::Test::HasFailure()) {
    // The end of the log is what tells: a long run's job lines would push it out of sight.
    const std::string text = log();
    std::size_t from = 0, seen = 0;
    for (std::size_t i = text.size(); i-- > 0;)
      if (text[i] == '\n' && ++seen > 60) {
        from = i + 1;
        break;
      }
    std::cerr << "service test: files kept in " << dir_ << "\ncassardd's log"
              << (from > 0 ? " (its last 60 lines)" : "") << ":\n"
              << text.substr(from);
  } else {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
}

void Service::start() {
  const Launched l = launch({CASSARDD_BIN, "--config", (dir_ / "cassardd.toml").string()},
                            (dir_ / "cassardd.log").string(), true, o_.fileSizeLimit);
  pid_ = l.pid;
  port_ = readyPort(l.line);
  if (port_ == 0) throw std::runtime_error("cassardd did not come up: " + l.line + log());
  const std::string got = l.line;
  // Each register is read once as the service starts: a test that then unplugs or silences
  // one does so after that read, not in the middle of it.
  // (The rig's own client speaks plain HTTP: a service on HTTPS is left to its test.)
  const bool tls = got.rfind("cassardd ready on https://", 0) == 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (bool read = tls; !read && std::chrono::steady_clock::now() < deadline;) {
    const json body = get("/v1/registers").body;
    const json regs = body.is_object() ? body.value("registers", json::array()) : json::array();
    read = !regs.empty();
    for (const json& r : regs)
      read = read && (!r.value("lastStatus", json()).is_null() ||
                      !r.value("errorCode", json()).is_null() || r.value("state", "") == "held");
    if (!read) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Service::kill9() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Service::term(std::chrono::seconds limit) {
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill9();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Reply Service::request(const std::string& method, const std::string& path, const std::string& body,
                       std::vector<std::pair<std::string, std::string>> headers) {
  httplib::Client cli("127.0.0.1", port_);
  cli.set_read_timeout(std::chrono::seconds(60));
  httplib::Headers h;
  bool typed = false;
  bool authorized = false;
  for (const auto& [k, v] : headers) {
    authorized = authorized || strcasecmp(k.c_str(), "Authorization") == 0;
    if (v.empty()) continue;  // a header named with no value: left out on purpose
    h.emplace(k, v);
    typed = typed || strcasecmp(k.c_str(), "Content-Type") == 0;
  }
  if (!o_.token.empty() && !authorized) h.emplace("Authorization", "Bearer " + o_.token);
  const std::string type = typed ? "" : "application/json";
  httplib::Result r = method == "GET"       ? cli.Get(path, h)
                      : method == "POST"    ? cli.Post(path, h, body, type)
                      : method == "OPTIONS" ? cli.Options(path, h)
                                            : cli.Delete(path, h, body, type);
  Reply reply;
  if (!r) {
    reply.status = -1;
    reply.text = httplib::to_string(r.error());
    return reply;
  }
  reply.status = r->status;
  reply.text = r->body;
  for (const auto& [k, v] : r->headers) reply.headers.emplace_back(k, v);
  reply.body = json::parse(r->body, nullptr, false);
  recordAnswer(method, path, reply.status, reply.header("Content-Type"), reply.text);
  return reply;
}

void Service::recordEvents() {
  if (!std::getenv("CASSARD_CONTRACT_LOG")) return;
  // From the second event on (an id of 0 is not one): the stream sends all it keeps after
  // the id in its first chunk, then waits for more.
  httplib::Client cli("127.0.0.1", port_);
  cli.set_read_timeout(std::chrono::seconds(5));
  httplib::Headers h{{"Last-Event-ID", "1"}};
  if (!o_.token.empty()) h.emplace("Authorization", "Bearer " + o_.token);
  std::string stream;
  int status = 0;
  cli.Get(
      "/v1/events", h,
      [&](const httplib::Response& r) {
        status = r.status;
        return true;
      },
      [&](const char* data, size_t n) {
        stream.append(data, n);
        return stream.size() < 2 || stream.substr(stream.size() - 2) != "\n\n";
      });
  if (status != 200 || stream.empty()) return;
  recordAnswer("GET", "/v1/events", 200, "text/event-stream", stream);
}

Reply Service::post(const std::string& reg, const std::string& key, const json& body) {
  return request("POST", "/v1/registers/" + reg + "/receipts", body.dump(),
                 {{"Idempotency-Key", key}});
}

Reply Service::postJob(const std::string& reg, const std::string& key, const json& body) {
  return request("POST", "/v1/registers/" + reg + "/jobs", body.dump(), {{"Idempotency-Key", key}});
}

json Service::waitJob(int64_t id, std::vector<std::string> states,
                      std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  json job;
  do {
    job = get("/v1/jobs/" + std::to_string(id)).body;
    if (job.is_object() &&
        std::find(states.begin(), states.end(), job.value("state", "")) != states.end())
      return job;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  ADD_FAILURE() << "job " << id << " not in the state awaited: " << job.dump();
  return job;
}

json Service::waitRegister(const std::string& name, const std::string& state,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  json r;
  do {
    r = get("/v1/registers/" + name).body;
    if (r.is_object() && r.value("state", "") == state) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  ADD_FAILURE() << "register " << name << " not " << state << ": " << r.dump();
  return r;
}

int Service::receiptsOnRoll(int i) {
  int n = 0;
  std::istringstream in(reg(i).roll());
  for (std::string l; std::getline(in, l);) n += l.find(" closed --------") != std::string::npos;
  return n;
}

json Service::control(int i, const std::string& command) {
  const std::string path = (dir_ / ("ctl" + std::to_string(i + 1))).string();
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    ADD_FAILURE() << "no control socket at " << path;
    return nullptr;
  }
  const std::string line = command + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    ADD_FAILURE() << "control write";
  std::string got;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (got.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(fd, &c, 1) == 1)
    got.push_back(c);
  close(fd);
  return json::parse(got, nullptr, false);
}

std::string Service::log() const {
  return readAll(dir_ / "cassardd.log");
}

void Service::pauseAt(const std::string& point) {
  std::ofstream(dir_ / ("pause-" + point)) << "";
}

bool Service::reached(const std::string& point, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(dir_ / ("at-" + point))) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace svc

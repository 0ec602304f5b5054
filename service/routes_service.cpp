#include <sys/statvfs.h>

#include <chrono>
#include <filesystem>

#include "service/api.h"
#include "service/http.h"
#include "service/openapi.h"
#include "service/routes.h"
#include "service/summary.h"

namespace cassardd {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Bytes of the files under a directory; what cannot be read counts as nothing.
uintmax_t treeBytes(const fs::path& dir) {
  std::error_code ec;
  uintmax_t total = 0;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::error_code fe;
    if (it->is_regular_file(fe)) {
      const uintmax_t n = it->file_size(fe);
      if (!fe) total += n;
    }
  }
  return total;
}

}  // namespace

void Api::serviceRoutes() {
  http::Server& s = *server_;

  s.Get("/healthz", [this](const Request&, Response& res) {
    if (const std::string fault = store_.fault(); !fault.empty())
      return error(res, 503, "store_unavailable", fault);
    if (const std::string stuck = registers_.stuck(); !stuck.empty())
      return error(res, 503, "unavailable", stuck);
    answer(res, 200, {{"status", "ok"}, {"version", CASSARDD_VERSION}});
  });

  s.Get("/metrics", [this](const Request&, Response& res) {
    res.set_content(registers_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
  });

  s.Get("/v1/openapi.json",
        [](const Request&, Response& res) { res.set_content(kOpenApi, "application/json"); });

  addSummaryRoute(s, cfg_, store_);

  // For a technician: what runs, how it is set up, and how much room the store has left.
  s.Get("/v1/service", [this](const Request& req, Response& res) { getService(req, res); });
}

void Api::getService(const Request&, Response& res) {
  if (!pace_.wait(std::chrono::seconds(5)))
    return error(res, 503, "unavailable", "too many clients are reading pages; try again later");
  const auto now = std::chrono::steady_clock::now();
  json regs = json::array();
  for (const RegisterConfig& r : cfg_.registers) {
    const json live = registers_.registerJson(r.name);
    regs.push_back({{"name", r.name},
                    {"device", r.device},
                    {"settings", r.settings},
                    {"payments", live.is_object() && live.contains("payments") ? live["payments"]
                                                                               : json::array()},
                    {"queueLimitS", r.queueLimitS},
                    {"settleLimitS", r.settleLimitS}});
  }
  // Walking the state folder costs as much as its jobs: taken at most every few seconds.
  const json disk = disk_.get([this] {
    struct statvfs vfs {};
    const json freeBytes =
        ::statvfs(cfg_.stateDir.c_str(), &vfs) == 0
            ? json(static_cast<uintmax_t>(vfs.f_bavail) * static_cast<uintmax_t>(vfs.f_frsize))
            : json(nullptr);
    return json{{"bytes", treeBytes(cfg_.stateDir)}, {"freeBytes", freeBytes}};
  });
  const std::string host = cfg_.listenHost.find(':') != std::string::npos
                               ? "[" + cfg_.listenHost + "]"
                               : cfg_.listenHost;
  answer(res, 200,
         {{"version", CASSARDD_VERSION},
          {"startedAt", startedAt_},
          {"uptimeS", std::chrono::duration_cast<std::chrono::seconds>(now - started_).count()},
          {"listen", host + ":" + std::to_string(port_)},
          {"tls", cfg_.tls()},
          {"registers", regs},
          {"keepDays", cfg_.keepDays},
          {"queueLimitS", RegisterConfig{}.queueLimitS},
          {"settleLimitS", RegisterConfig{}.settleLimitS},
          {"store", {{"path", cfg_.stateDir}, {"bytes", disk["bytes"]}}},
          {"disk", {{"freeBytes", disk["freeBytes"]}}},
          {"links",
           {{"healthz", "/healthz"}, {"metrics", "/metrics"}, {"openapi", "/v1/openapi.json"}}}});
}

}  // namespace cassardd

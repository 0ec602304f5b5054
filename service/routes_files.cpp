#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "service/api.h"
#include "service/child.h"
#include "service/folder.h"
#include "service/http.h"
#include "service/routes.h"

namespace cassardd {

namespace fs = std::filesystem;

namespace {

const std::regex kFileName("[A-Za-z0-9._-]{1,64}");

const char* contentType(const fs::path& p) {
  const std::string ext = p.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".json") return "application/json";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  if (ext == ".ico") return "image/x-icon";
  if (ext == ".woff2") return "font/woff2";
  if (ext == ".txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

}  // namespace

void Api::fileRoutes() {
  http::Server& s = *server_;
  s.Get(R"(/v1/jobs/([^/]+)/files/(.+))",
        [this](const Request& req, Response& res) { jobFile(req, res); });

  // The client module tills import, from the page's files: like them, no token.
  s.Get("/v1/cassard-client.js", [this](const Request&, Response& res) {
    std::ifstream in(fs::path(cfg_.webDir) / "cassard-client.js", std::ios::binary);
    if (!in) return error(res, 404, "not_found", "no cassard-client.js in web_dir");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    res.set_content(bytes.str(), "text/javascript; charset=utf-8");
  });
}

void Api::jobFile(const Request& req, Response& res) {
  const std::string name = req.matches[2].str();
  if (badName(name) || !std::regex_match(name, kFileName))
    return error(res, 400, "invalid",
                 "a file name is 1 to 64 of A-Z a-z 0-9 . _ - with no '/' or '..'", "name");
  const auto job = jobOf(req, res);
  if (!job) return;
  const bool listed = std::any_of(job->files.begin(), job->files.end(),
                                  [&](const FileInfo& f) { return f.name == name; });
  const fs::path p = jobFilesDir(StateFolder{cfg_.stateDir}.job(job->id)) / name;
  std::ifstream in(p, std::ios::binary);
  if (!listed || !in)
    return error(res, 404, "unknown_file",
                 "job " + std::to_string(job->id) + " has no file " + name, "name");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
  res.set_content(bytes.str(), "application/octet-stream");
}

void Api::page(const Request& req, Response& res) {
  std::string rel = req.matches[1].str();
  if (rel.empty()) rel = "index.html";
  if (rel.find("..") != std::string::npos || rel.find('\0') != std::string::npos ||
      rel.front() == '/')
    return error(res, 400, "invalid", "no '..' in a page's path", "path");
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(cfg_.webDir, ec);
  const fs::path p = fs::weakly_canonical(root / rel, ec);
  const auto [r, q] = std::mismatch(root.begin(), root.end(), p.begin(), p.end());
  if (ec || r != root.end() || !fs::is_regular_file(p, ec))
    return error(res, 404, "not_found", "no such page: /" + rel);
  std::ifstream in(p, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  res.set_header("Cache-Control", "no-cache");
  res.set_header("X-Frame-Options", "DENY");
  res.set_content(bytes.str(), contentType(p));
}

}  // namespace cassardd

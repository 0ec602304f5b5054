#include "service/api.h"

#include <strings.h>
#include <sys/statvfs.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "service/child.h"
#include "service/http.h"
#include "service/openapi.h"
#include "service/receipt.h"
#include "service/when.h"

namespace cassardd {

namespace fs = std::filesystem;
using http::Request;
using http::Response;
using nlohmann::json;
using HR = http::Server::HandlerResponse;

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kMaxLimit = 500;
constexpr int kMaxStreams = 32;  // of the server's 1024 connections
constexpr int kMaxNesting = 32;  // of a body's arrays and objects

const std::regex kKey("[A-Za-z0-9._:-]{1,64}");
const std::regex kFileName("[A-Za-z0-9._-]{1,64}");

void error(Response& res, int status, const std::string& code, const std::string& message,
           const std::optional<std::string>& field = std::nullopt) {
  res.status = status;
  res.set_content(
      json{
          {"error",
           {{"code", code}, {"message", message}, {"field", field ? json(*field) : json(nullptr)}}}}
              .dump(-1, ' ', false, json::error_handler_t::replace) +
          "\n",
      "application/json");
}

void answer(Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(jsonText(body) + "\n", "application/json");
}

// A name from a path: '/' and '..' never reach the file system.
bool badName(const std::string& s) {
  return s.find('/') != std::string::npos || s.find("..") != std::string::npos;
}

bool isJson(const Request& req) {
  const std::string ct = req.get_header_value("Content-Type");
  // A media type's name is case-insensitive, and may be followed by spaces.
  std::string type = ct.substr(0, ct.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  return strcasecmp(type.c_str(), "application/json") == 0;
}

std::optional<int64_t> positive(const std::string& s) {
  if (s.empty() || s.size() > 18 || !std::all_of(s.begin(), s.end(), ::isdigit))
    return std::nullopt;
  const int64_t v = std::stoll(s);
  return v > 0 ? std::optional(v) : std::nullopt;
}

// How deep a JSON text's arrays and objects go, counted outside its strings. A body nested
// deeper than a receipt could be is refused before it is parsed and printed, both of which
// go as deep as the nesting.
int nesting(const std::string& text) {
  int depth = 0, most = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (inString) {
      if (ch == '\\')
        ++i;
      else if (ch == '"')
        inString = false;
    } else if (ch == '"') {
      inString = true;
    } else if (ch == '[' || ch == '{') {
      most = std::max(most, ++depth);
    } else if (ch == ']' || ch == '}') {
      --depth;
    }
  }
  return most;
}

// On a loopback listen, the names this machine's browsers and tills use for the service:
// localhost, 127.0.0.1, [::1] or the listen address itself, with no port or the one it
// listens on. Nothing else: a page whose own name was made to point here (DNS rebinding)
// sends its own name.
bool loopbackHost(std::string host, int port, const std::string& listenHost) {
  std::transform(host.begin(), host.end(), host.begin(), ::tolower);
  std::string name = host;
  if (const auto colon = host.rfind(':');
      colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    name = host.substr(0, colon);
    if (host.substr(colon + 1) != std::to_string(port)) return false;
  }
  const std::string own =
      listenHost.find(':') != std::string::npos ? "[" + listenHost + "]" : listenHost;
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == own;
}

// The service's own origin: its scheme, a name it answers to and its exact port (an origin
// without a port has its scheme's: 80 or 443). On a loopback listen, either scheme and the
// loopback names; else the scheme it serves and the name in Host.
bool ownOrigin(const std::string& origin, const std::string& host, int port, const Config& cfg) {
  for (const std::string scheme : {"http://", "https://"}) {
    if (origin.rfind(scheme, 0) != 0) continue;
    std::string rest = origin.substr(scheme.size());
    const auto colon = rest.rfind(':');
    const bool hasPort = colon != std::string::npos && rest.find(']', colon) == std::string::npos;
    if (!hasPort) rest += scheme == "http://" ? ":80" : ":443";
    if (rest.substr(rest.rfind(':') + 1) != std::to_string(port)) return false;
    if (cfg.loopback()) return loopbackHost(rest, port, cfg.listenHost);
    std::string name = host;
    if (const auto c = name.rfind(':');
        c != std::string::npos && name.find(']', c) == std::string::npos)
      name = name.substr(0, c);
    return scheme == (cfg.tls() ? "https://" : "http://") && !name.empty() &&
           strcasecmp(rest.substr(0, rest.rfind(':')).c_str(), name.c_str()) == 0;
  }
  return false;
}

// Compares without stopping at the first difference, so the time taken says nothing.
bool sameSecret(const std::string& given, const std::string& token) {
  unsigned char diff = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i)
    diff |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
  return diff == 0;
}

// An amount as a till person writes it: "12,50", "12.5", "1250" (digits alone are cents,
// as in the API). Up to 9 999 999,99 EUR; nothing for anything else.
std::optional<int64_t> centsOf(const std::string& s) {
  static const std::regex euros(R"((\d{1,7})[.,](\d{1,2}))");
  static const std::regex cents(R"(\d{1,9})");
  std::smatch m;
  if (std::regex_match(s, m, euros)) {
    std::string frac = m[2].str();
    if (frac.size() == 1) frac += '0';
    return std::stoll(m[1].str()) * 100 + std::stoll(frac);
  }
  if (std::regex_match(s, cents)) return std::stoll(s);
  return std::nullopt;
}

// A bound of a search on createdAt as stored (RFC 3339 UTC, milliseconds). A date is the
// start of that UTC day, or of the next day for an upper bound, so that to=2026-12-07
// takes in the whole 7th; an instant with an offset is moved to UTC.
std::optional<std::string> instantOf(const std::string& s, bool upper) {
  static const std::regex date(R"((\d{4})-(\d{2})-(\d{2}))");
  static const std::regex instant(
      R"((\d{4})-(\d{2})-(\d{2})[Tt](\d{2}):(\d{2}):(\d{2})(\.\d{1,9})?([Zz]|([+-])(\d{2}):(\d{2})))");
  std::smatch m;
  std::tm tm{};
  int64_t millis = 0;
  int64_t offset = 0;
  const bool isDate = std::regex_match(s, m, date);
  if (!isDate && !std::regex_match(s, m, instant)) return std::nullopt;
  const auto num = [&](int i) { return std::stoi(m[i].str()); };
  tm.tm_year = num(1) - 1900;
  tm.tm_mon = num(2) - 1;
  tm.tm_mday = num(3);
  if (!isDate) {
    tm.tm_hour = num(4);
    tm.tm_min = num(5);
    tm.tm_sec = num(6);
    if (m[7].matched) millis = std::stoll((m[7].str().substr(1) + "00").substr(0, 3));
    if (m[9].matched) offset = (num(10) * 60 + num(11)) * 60 * (m[9].str() == "-" ? -1 : 1);
  }
  // timegm() normalizes quietly (February 31 becomes March 3): refuse what it had to move.
  const std::tm given = tm;
  time_t t = timegm(&tm);
  if (t == -1 || tm.tm_mday != given.tm_mday || tm.tm_mon != given.tm_mon || given.tm_hour > 23 ||
      given.tm_min > 59 || given.tm_sec > 60)
    return std::nullopt;
  t -= offset;
  if (isDate && upper) t += 86400;
  std::tm utc{};
  gmtime_r(&t, &utc);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(millis));
  std::string out = buf;
  // An instant is an inclusive upper bound: the next millisecond is the first one out.
  if (!isDate && upper) {
    if (millis == 999) {
      ++t;
      gmtime_r(&t, &utc);
      std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
      return std::string(buf) + ".000Z";
    }
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(millis + 1));
    out = buf;
  }
  return out;
}

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

class HttpServer : public http::Server {};

Api::Api(const Config& cfg, Store& store, Registers& registers)
    : cfg_(cfg),
      store_(store),
      registers_(registers),
      server_(std::make_unique<HttpServer>()),
      started_(std::chrono::steady_clock::now()),
      startedAt_(utcNow()) {
  http::Limits limits;
  limits.maxBody = kMaxBody;
  server_->set_limits(limits);
  if (cfg_.tls()) server_->set_tls(cfg_.tlsCertPem, cfg_.tlsKeyPem);
  routes();
}

Api::~Api() = default;

int Api::bind() {
  port_ = server_->bind(cfg_.listenHost, cfg_.listenPort);
  return port_;
}

bool Api::serve() {
  return server_->listen_after_bind();
}

bool Api::listening() const {
  return server_->is_running();
}

void Api::stop() {
  stopping_ = true;
  store_.wake();
  server_->stop();
}

void Api::routes() {
  http::Server& s = *server_;

  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    const bool api = req.path.rfind("/v1/", 0) == 0 || req.path == "/metrics";
    res.set_header("X-Content-Type-Options", "nosniff");
    if (api) res.set_header("Cache-Control", "no-store");
    // On a loopback address the Host must be the loopback too: a page elsewhere whose
    // name was made to point here (DNS rebinding) gets nothing.
    const std::string host = req.get_header_value("Host");
    if (cfg_.loopback() && req.has_header("Host") && !loopbackHost(host, port_, cfg_.listenHost)) {
      error(res, 403, "forbidden",
            "this service answers only to localhost, 127.0.0.1 or [::1], with no port or " +
                std::to_string(port_) + " (Host " + host + ")",
            "Host");
      return HR::Handled;
    }
    const std::string origin = req.get_header_value("Origin");
    const bool listed =
        std::find(cfg_.origins.begin(), cfg_.origins.end(), origin) != cfg_.origins.end();
    if (!origin.empty() && api) {
      bool sameOrigin = false;
      sameOrigin = ownOrigin(origin, host, port_, cfg_);
      if (!sameOrigin && !listed) {
        error(res, 403, "forbidden", "origin " + origin + " is not among the configured origins",
              "Origin");
        return HR::Handled;
      }
      if (listed) {
        res.set_header("Access-Control-Allow-Origin", origin);
        // What a till's script reads beyond the body: where a new job is, a file's name,
        // why a token was refused.
        res.set_header("Access-Control-Expose-Headers",
                       "Location, Content-Disposition, WWW-Authenticate");
        res.set_header("Vary", "Origin");
      }
    }
    if (req.method == "OPTIONS" && listed) {
      res.status = 204;
      res.set_header("Access-Control-Allow-Methods", "GET, POST, DELETE, OPTIONS");
      res.set_header("Access-Control-Allow-Headers",
                     "Authorization, Content-Type, Idempotency-Key, Last-Event-ID");
      res.set_header("Access-Control-Max-Age", "600");
      if (req.get_header_value("Access-Control-Request-Private-Network") == "true")
        res.set_header("Access-Control-Allow-Private-Network", "true");
      return HR::Handled;
    }
    const bool open = !api || req.path == "/v1/openapi.json" || req.path == "/v1/cassard-client.js";
    if (!cfg_.token.empty() && !open) {
      const std::string auth = req.get_header_value("Authorization");
      bool ok = auth.rfind("Bearer ", 0) == 0 && sameSecret(auth.substr(7), cfg_.token);
      if (!ok && req.path == "/v1/events" && req.has_param("access_token"))
        ok = sameSecret(req.get_param_value("access_token"), cfg_.token);
      if (!ok) {
        res.set_header("WWW-Authenticate", "Bearer");
        error(res, 401, "unauthorized",
              auth.empty() ? "a token is required: Authorization: Bearer <token>"
                           : "the token is not valid",
              "Authorization");
        return HR::Handled;
      }
    }
    return HR::Unhandled;
  });

  // Every route's JSON, before any handler parses it.
  s.set_body_handler([](const Request& req, Response& res) {
    if (!isJson(req) || nesting(req.body) <= kMaxNesting) return HR::Unhandled;
    error(
        res, 400, "bad_json",
        "the body nests arrays and objects deeper than " + std::to_string(kMaxNesting) + " levels");
    return HR::Handled;
  });

  s.set_error_handler([](const Request& req, Response& res) {
    if (!res.body.empty()) return HR::Unhandled;
    switch (res.status) {
      case 404:
        error(res, 404, "not_found", "no such resource: " + req.method + " " + req.path);
        break;
      case 413:
        error(res, 413, "too_large", "the body is larger than 64 KiB");
        break;
      case 414:
        error(res, 414, "too_large", "the path is longer than 2048 bytes");
        break;
      case 405:
        error(res, 405, "method_not_allowed", req.method + " is not allowed on " + req.path);
        break;
      case 400:
        if (!req.malformed.empty())
          error(res, 400, "bad_request", req.malformed,
                req.malformedField.empty() ? std::nullopt : std::optional(req.malformedField));
        else
          error(res, 400, "bad_request",
                "the request is malformed (a POST needs a Content-Length, 0 for no body)");
        break;
      case 431:
        error(res, 431, "too_large", "the request's header fields are larger than 32 KiB");
        break;
      default:
        error(res, res.status, res.status >= 500 ? "internal" : "bad_request",
              "the request could not be served");
        break;
    }
    return HR::Handled;
  });

  s.set_exception_handler([](const Request&, Response& res, std::exception_ptr ep) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(ep);
    } catch (const StoreError& e) {
      // A full disk or a failing one: the write was rolled back, so the till may send
      // the same request again, with the same key, and nothing is done twice.
      std::cerr << "cassardd: the store failed: " << e.what() << std::endl;
      return error(res, 503, "store_unavailable",
                   std::string("the job store cannot be written or read (") + e.what() +
                       "): this request stored nothing; send it again later with the same "
                       "Idempotency-Key");
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    std::cerr << "cassardd: internal error: " << what << std::endl;
    error(res, 500, "internal", "internal error: " + what);
  });

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

  s.Get("/v1/registers", [this](const Request&, Response& res) {
    answer(res, 200, {{"registers", registers_.allJson()}});
  });

  // The register named in the path, or an answer saying why there is none.
  auto registerOf = [this](const Request& req, Response& res) -> const RegisterConfig* {
    const std::string name = req.matches[1].str();
    if (badName(name)) {
      error(res, 400, "invalid", "a register's name has no '/' or '..'", "name");
      return nullptr;
    }
    const RegisterConfig* reg = cfg_.findRegister(name);
    if (!reg)
      error(res, 404, "unknown_register", "no register named \"" + name + "\" is configured",
            "name");
    return reg;
  };

  // POST of a job: the key, the body, then the store decides 201, 200 or 409.
  auto post = [this, registerOf](const Request& req, Response& res, bool receipt) {
    const RegisterConfig* reg = registerOf(req, res);
    if (!reg) return;
    if (!isJson(req))
      return error(res, 415, "unsupported_media_type",
                   "the body must be JSON (Content-Type: application/json)", "Content-Type");
    if (!req.has_header("Idempotency-Key"))
      return error(res, 400, "missing_idempotency_key",
                   "every request that creates a job carries an Idempotency-Key header",
                   "Idempotency-Key");
    const std::string key = req.get_header_value("Idempotency-Key");
    if (!std::regex_match(key, kKey))
      return error(res, 400, "bad_idempotency_key",
                   "an Idempotency-Key is 1 to 64 characters of A-Z a-z 0-9 . _ : -",
                   "Idempotency-Key");
    const Parsed parsed = parseRequest(req.body);
    if (parsed.error)
      return error(res, 400, parsed.error->code, parsed.error->message,
                   parsed.error->field.empty() ? std::nullopt : std::optional(parsed.error->field));
    const json& body = parsed.body;
    const std::string request = body.dump();
    std::string kind = "receipt";
    Lines lines;
    if (receipt) {
      lines = receiptLines(body, *reg);
    } else {
      JobRequest jr = jobRequestLines(body);
      kind = jr.kind;
      lines = std::move(jr.lines);
    }
    // The key decides first: a repeat is answered from the store even if the request would
    // no longer pass, and any other request under a used key is a conflict.
    auto reused = [&](int64_t id, bool pruned) {
      error(res, 409, "key_reused",
            "Idempotency-Key " + key + " already names job " + std::to_string(id) +
                (pruned ? " (pruned after keep_days)" : "") +
                " of this register, with a different request",
            "Idempotency-Key");
    };
    if (auto existing = store_.find(reg->name, key)) {
      if (existing->kind == kind && existing->request == request)
        return answer(res, 200, jobJson(*existing));
      return reused(existing->id, false);
    }
    // A key whose job was pruned stays that job's: the till learns what became of it.
    if (auto pruned = store_.findPruned(reg->name, key)) {
      if (pruned->fingerprint == requestFingerprint(kind, request))
        return answer(res, 200, prunedJobJson(*pruned));
      return reused(pruned->id, true);
    }
    if (lines.error)
      return error(res, 400, lines.error->code, lines.error->message, lines.error->field);
    // A receipt that waits does not print late: its own expiresAt, or the register's
    // queue limit from now.
    JobExtras extras{lines.total, lines.change, std::nullopt};
    if (kind == "receipt" || kind == "lines")
      extras.expiresAt = body.contains("expiresAt")
                             ? utcText(*parseRfc3339(body["expiresAt"].get<std::string>()))
                             : utcText(nowMs() + int64_t{reg->queueLimitS} * 1000);
    const Store::CreateResult r = store_.create(reg->name, key, kind, request, lines.lines, extras);
    if (r.pruned && r.outcome == Store::Created::Same)
      return answer(res, 200, prunedJobJson(*r.pruned));
    if (r.outcome == Store::Created::Conflict)
      return reused(r.pruned ? r.pruned->id : r.job.id, !!r.pruned);
    if (r.outcome == Store::Created::New) {
      registers_.jobQueued(reg->name);
      res.set_header("Location", "/v1/jobs/" + std::to_string(r.job.id));
    }
    answer(res, r.outcome == Store::Created::New ? 201 : 200, jobJson(r.job));
  };

  s.Post(R"(/v1/registers/(.+)/receipts)",
         [post](const Request& req, Response& res) { post(req, res, true); });
  s.Post(R"(/v1/registers/(.+)/jobs)",
         [post](const Request& req, Response& res) { post(req, res, false); });

  s.Post(R"(/v1/registers/(.+)/resume)", [this, registerOf](const Request& req, Response& res) {
    const RegisterConfig* reg = registerOf(req, res);
    if (!reg) return;
    std::string detail;
    switch (registers_.find(reg->name)->resume(detail)) {
      case Worker::Resume::Released:
        return answer(res, 200, registers_.registerJson(reg->name));
      case Worker::Resume::NotHeld:
        return error(res, 409, "not_held", "register " + reg->name + " is not held");
      case Worker::Resume::SaleOpen:
        return error(res, 409, "sale_open", detail);
      case Worker::Resume::Unreachable:
        return error(res, 503, "unreachable", "the register could not be read: " + detail);
    }
  });

  s.Get(R"(/v1/registers/(.+))", [this, registerOf](const Request& req, Response& res) {
    static const std::regex postOnly(R"([^/]+/(receipts|jobs|resume))");
    if (std::regex_match(req.matches[1].str(), postOnly))
      return error(res, 405, "method_not_allowed", "GET is not allowed on " + req.path + " (POST)");
    if (const RegisterConfig* reg = registerOf(req, res))
      answer(res, 200, registers_.registerJson(reg->name));
  });

  s.Get("/v1/jobs", [this](const Request& req, Response& res) {
    Store::Filter f;
    for (const auto& [k, v] : req.params) {
      if (k == "register") {
        if (!cfg_.findRegister(v))
          return error(res, 400, "invalid", "no register named \"" + v + "\"", "register");
        f.reg = v;
      } else if (k == "state") {
        f.state = stateFromName(v);
        if (!f.state)
          return error(res, 400, "invalid",
                       "state is one of queued, running, done, failed, uncertain, attention",
                       "state");
      } else if (k == "limit") {
        const auto n = positive(v);
        if (!n || *n > kMaxLimit)
          return error(res, 400, "invalid", "limit is a number from 1 to 500", "limit");
        f.limit = static_cast<int>(*n);
      } else if (k == "before") {
        f.before = positive(v);
        if (!f.before)
          return error(res, 400, "invalid", "before is a job id (a positive number)", "before");
      } else if (k == "q") {
        if (v.empty()) continue;
        if (v.size() > 64) return error(res, 400, "invalid", "q is at most 64 characters", "q");
        f.text = v;
        f.cents = centsOf(v);
      } else if (k == "from" || k == "to") {
        if (v.empty()) continue;
        auto& bound = k == "from" ? f.from : f.to;
        bound = instantOf(v, k == "to");
        if (!bound)
          return error(res, 400, "invalid",
                       k + " is a date (2026-12-07) or an RFC 3339 time (2026-12-07T16:52:00Z)", k);
      } else {
        return error(res, 400, "unknown_field",
                     "unknown parameter (known: register, state, limit, before, q, from, to)", k);
      }
    }
    if (!pace_.wait(std::chrono::seconds(5)))
      return error(res, 503, "unavailable", "too many clients are reading pages; try again later");
    // Built once per change of the store, whoever asks for it meanwhile.
    std::string query;
    for (const auto& [k, v] : req.params) query += k + '\0' + v + '\0';
    const auto text = pages_.get(query, store_.changes(), [&] {
      json jobs = json::array();
      const std::vector<Job> page = store_.list(f);
      for (const Job& j : page) jobs.push_back(jobSummaryJson(j));
      const bool more = static_cast<int>(page.size()) == f.limit && !page.empty();
      return jsonText({{"jobs", jobs}, {"next", more ? json(page.back().id) : json(nullptr)}}) +
             "\n";
    });
    res.status = 200;
    res.set_content(*text, "application/json");
  });

  // For a technician: what runs, how it is set up, and how much room the store has left.
  s.Get("/v1/service", [this](const Request&, Response& res) {
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
  });

  auto jobOf = [this](const Request& req, Response& res) -> std::optional<Job> {
    const auto id = positive(req.matches[1].str());
    if (!id) {
      error(res, 400, "invalid", "a job id is a positive number", "id");
      return std::nullopt;
    }
    auto job = store_.get(*id);
    if (!job) error(res, 404, "unknown_job", "no job " + std::to_string(*id), "id");
    return job;
  };

  s.Get(R"(/v1/jobs/([^/]+))", [jobOf](const Request& req, Response& res) {
    if (const auto job = jobOf(req, res)) answer(res, 200, jobJson(*job));
  });

  // A person's word on a job in attention: what happened at the register.
  // A person's word on a job (resolve, cancel): the guarded move, its event and the
  // register's; a job no longer in `from` is a 409 that says what it is now.
  auto settleByPerson = [this](Response& res, const Job& job, JobState from, JobState to,
                               const Verdict& v, const char* code, const std::string& why) {
    try {
      const Job settled = store_.finish(job.id, from, to, nullptr, std::nullopt, v);
      registers_.publish(settled.reg);
      answer(res, 200, jobJson(settled));
    } catch (const MoveRefused&) {
      const auto now = store_.get(job.id);
      error(res, 409, code,
            "job " + std::to_string(job.id) + " is " +
                std::string(stateName(now ? now->state : job.state)) + why);
    }
  };

  s.Post(R"(/v1/jobs/([^/]+)/resolve)", [jobOf, settleByPerson](const Request& req, Response& res) {
    const auto job = jobOf(req, res);
    if (!job) return;
    if (!isJson(req))
      return error(res, 415, "unsupported_media_type",
                   "the body must be JSON (Content-Type: application/json)", "Content-Type");
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object())
      return error(res, 400, "bad_json",
                   "the body must be a JSON object: {\"outcome\": \"done\" or \"failed\", ...}");
    for (const auto& [k, v] : body.items())
      if (k != "outcome" && k != "receiptNumber" && k != "note")
        return error(res, 400, "unknown_field",
                     "unknown field (known: outcome, receiptNumber, note)", k);
    const json outcome = body.value("outcome", json(nullptr));
    if (outcome != "done" && outcome != "failed")
      return error(res, 400, "invalid", "outcome is \"done\" or \"failed\"", "outcome");
    const bool done = outcome == "done";
    std::optional<std::string> number;
    if (body.contains("receiptNumber")) {
      static const std::regex fourDigits("[0-9]{4}");
      const json& n = body["receiptNumber"];
      if (!done)
        return error(res, 400, "invalid", "a receiptNumber goes only with outcome \"done\"",
                     "receiptNumber");
      if (!n.is_string() || !std::regex_match(n.get<std::string>(), fourDigits))
        return error(res, 400, "invalid",
                     "receiptNumber is the register's four digits, e.g. \"0125\"", "receiptNumber");
      number = n.get<std::string>();
    } else if (done && job->kind == "receipt") {
      return error(res, 400, "invalid",
                   "a receipt resolved as done needs the receiptNumber printed on it",
                   "receiptNumber");
    }
    std::optional<std::string> note;
    if (body.contains("note")) {
      if (!body["note"].is_string() || body["note"].get<std::string>().size() > 500)
        return error(res, 400, "invalid", "note is a text of at most 500 bytes", "note");
      note = body["note"].get<std::string>();
    }
    Verdict v;
    v.reason = done ? "resolved by a person: done" + (number ? ", receipt " + *number : "")
                    : "resolved by a person: failed";
    v.reasonCode = done ? "resolved_done" : "resolved_failed";
    if (done) v.reasonParams = {{"receiptNumber", number ? json(*number) : json(nullptr)}};
    v.receiptNumber = number;
    v.settledBy = "person";
    v.note = note;
    settleByPerson(res, *job, JobState::Attention, done ? JobState::Done : JobState::Failed, v,
                   "not_attention", ", not attention: only a job in attention is resolved");
  });

  // A queued job cancelled: never sent.
  s.Delete(R"(/v1/jobs/([^/]+))", [jobOf, settleByPerson](const Request& req, Response& res) {
    const auto job = jobOf(req, res);
    if (!job) return;
    Verdict v;
    v.reason = "cancelled: never sent to the register";
    v.reasonCode = "cancelled";
    v.settledBy = "person";
    settleByPerson(res, *job, JobState::Queued, JobState::Failed, v, "not_queued",
                   ": only a queued job can be cancelled, one that started is settled from the "
                   "register");
  });

  s.Get(R"(/v1/jobs/([^/]+)/files/(.+))", [this, jobOf](const Request& req, Response& res) {
    const std::string name = req.matches[2].str();
    if (badName(name) || !std::regex_match(name, kFileName))
      return error(res, 400, "invalid",
                   "a file name is 1 to 64 of A-Z a-z 0-9 . _ - with no '/' or '..'", "name");
    const auto job = jobOf(req, res);
    if (!job) return;
    const bool listed = std::any_of(job->files.begin(), job->files.end(),
                                    [&](const FileInfo& f) { return f.name == name; });
    const fs::path p =
        jobFilesDir(fs::path(cfg_.stateDir) / "jobs" / std::to_string(job->id)) / name;
    std::ifstream in(p, std::ios::binary);
    if (!listed || !in)
      return error(res, 404, "unknown_file",
                   "job " + std::to_string(job->id) + " has no file " + name, "name");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res.set_content(bytes.str(), "application/octet-stream");
  });

  s.Get("/v1/events", [this](const Request& req, Response& res) {
    // Each stream holds one of the server's threads: enough are kept for the rest.
    if (streams_ >= kMaxStreams)
      return error(res, 503, "unavailable", "too many event streams are open; try again later");
    int64_t from = -1;
    if (const auto id = positive(req.get_header_value("Last-Event-ID"))) {
      const auto missed = store_.eventsAfter(*id, 1);
      // Only when what was missed is all still kept.
      if (!missed.empty() ? missed.front().id == *id + 1 : true) from = *id;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    auto last = std::make_shared<int64_t>(from);
    auto provide = [this, last](size_t, http::DataSink& sink) {
      if (stopping_) return false;
      std::string out;
      if (*last < 0) {
        // A new client starts from the present: every register as it is now.
        *last = store_.lastEventId();
        out = "retry: 2000\n\n";
        for (const json& r : registers_.allJson())
          out +=
              "id: " + std::to_string(*last) + "\nevent: register\ndata: " + jsonText(r) + "\n\n";
        return sink.write(out.data(), out.size());
      }
      // A heartbeat every 15 s at most; meanwhile the client is looked at twice a second, so
      // that a stream it closed gives back its slot at once.
      constexpr auto slice = std::chrono::milliseconds(500);
      const auto beat = std::chrono::steady_clock::now() + std::chrono::seconds(15);
      while (std::chrono::steady_clock::now() < beat) {
        const auto before = std::chrono::steady_clock::now();
        store_.waitForEvent(*last, slice, stopping_);
        if (stopping_ || !sink.is_writable()) return false;
        // An early return is an event (the wait ends before its time only for one).
        if (std::chrono::steady_clock::now() - before < slice) break;
      }
      const auto events = store_.eventsAfter(*last);
      if (events.empty()) out = ": heartbeat\n\n";
      for (const Store::Event& e : events) {
        out += "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data + "\n\n";
        *last = e.id;
      }
      return sink.write(out.data(), out.size());
    };
    ++streams_;
    res.set_chunked_content_provider("text/event-stream", provide, [this](bool) { --streams_; });
  });

  // The client module tills import, from the page's files: like them, no token.
  s.Get("/v1/cassard-client.js", [this](const Request&, Response& res) {
    std::ifstream in(fs::path(cfg_.webDir) / "cassard-client.js", std::ios::binary);
    if (!in) return error(res, 404, "not_found", "no cassard-client.js in web_dir");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    res.set_content(bytes.str(), "text/javascript; charset=utf-8");
  });

  // What is left under /v1 is no resource, or the wrong method for one.
  auto wrongMethod = [](const Request& req, Response& res) {
    static const std::regex known(
        R"(/v1/(registers(/[^/]+(/(receipts|jobs|resume))?)?|jobs(/[^/]+(/files/.+|/resolve)?)?|events|service|openapi\.json))");
    if (std::regex_match(req.path, known))
      return error(res, 405, "method_not_allowed", req.method + " is not allowed on " + req.path);
    error(res, 404, "not_found", "no such resource: " + req.path);
  };
  s.Get(R"(/v1/.*)", wrongMethod);
  s.Post(R"(/v1/.*)", wrongMethod);
  s.Put(R"(/.*)", wrongMethod);
  s.Patch(R"(/.*)", wrongMethod);
  s.Delete(R"(/.*)", wrongMethod);

  // The page: files from web_dir, none from outside it.
  s.Get(R"(/(.*))", [this](const Request& req, Response& res) {
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
  });
}

}  // namespace cassardd

#include "service/api.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <regex>

#include "service/http.h"
#include "service/routes.h"

namespace cassardd {

using nlohmann::json;
using HR = http::Server::HandlerResponse;

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kMaxNesting = 32;  // of a body's arrays and objects

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

}  // namespace

Api::Api(const Config& cfg, Store& store, Registers& registers)
    : cfg_(cfg),
      store_(store),
      registers_(registers),
      server_(std::make_unique<http::Server>()),
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
  guards();
  serviceRoutes();
  registerRoutes();
  jobRoutes();
  eventRoutes();
  fileRoutes();
  fallbacks();
  // The page: files from web_dir, none from outside it; every path no route above took.
  server_->Get(R"(/(.*))", [this](const Request& req, Response& res) { page(req, res); });
}

void Api::guards() {
  http::Server& s = *server_;

  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    const bool api = req.path.rfind("/v1/", 0) == 0 || req.path == "/metrics";
    res.set_header("X-Content-Type-Options", "nosniff");
    if (api) res.set_header("Cache-Control", "no-store");
    bool listed = false;
    if (refusedHost(req, res) || refusedOrigin(req, res, api, listed)) return HR::Handled;
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
    return refusedToken(req, res, api) ? HR::Handled : HR::Unhandled;
  });

  // Every route's JSON, before any handler parses it.
  s.set_body_handler([](const Request& req, Response& res) {
    if (!isJson(req) || nesting(req.body) <= kMaxNesting) return HR::Unhandled;
    error(
        res, 400, "bad_json",
        "the body nests arrays and objects deeper than " + std::to_string(kMaxNesting) + " levels");
    return HR::Handled;
  });
}

bool Api::refusedHost(const Request& req, Response& res) {
  // On a loopback address the Host must be the loopback too: a page elsewhere whose
  // name was made to point here (DNS rebinding) gets nothing.
  const std::string host = req.get_header_value("Host");
  if (cfg_.loopback() && req.has_header("Host") && !loopbackHost(host, port_, cfg_.listenHost)) {
    error(res, 403, "forbidden",
          "this service answers only to localhost, 127.0.0.1 or [::1], with no port or " +
              std::to_string(port_) + " (Host " + host + ")",
          "Host");
    return true;
  }
  return false;
}

bool Api::refusedOrigin(const Request& req, Response& res, bool api, bool& listed) {
  const std::string host = req.get_header_value("Host");
  const std::string origin = req.get_header_value("Origin");
  listed = std::find(cfg_.origins.begin(), cfg_.origins.end(), origin) != cfg_.origins.end();
  if (!origin.empty() && api) {
    const bool sameOrigin = ownOrigin(origin, host, port_, cfg_);
    if (!sameOrigin && !listed) {
      error(res, 403, "forbidden", "origin " + origin + " is not among the configured origins",
            "Origin");
      return true;
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
  return false;
}

bool Api::refusedToken(const Request& req, Response& res, bool api) {
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
      return true;
    }
  }
  return false;
}

void Api::fallbacks() {
  http::Server& s = *server_;

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

  // What is left under /v1 is no resource, or the wrong method for one.
  auto wrongMethod = [](const Request& req, Response& res) {
    static const std::regex known(
        R"(/v1/(registers(/[^/]+(/(receipts|jobs|resume))?)?|jobs(/[^/]+(/files/.+|/resolve)?)?|events|service|summary|openapi\.json))");
    if (std::regex_match(req.path, known))
      return error(res, 405, "method_not_allowed", req.method + " is not allowed on " + req.path);
    error(res, 404, "not_found", "no such resource: " + req.path);
  };
  s.Get(R"(/v1/.*)", wrongMethod);
  s.Post(R"(/v1/.*)", wrongMethod);
  s.Put(R"(/.*)", wrongMethod);
  s.Patch(R"(/.*)", wrongMethod);
  s.Delete(R"(/.*)", wrongMethod);
}

}  // namespace cassardd

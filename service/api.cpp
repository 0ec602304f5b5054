#include "service/api.h"

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "service/openapi.h"
#include "service/receipt.h"
#include "service/when.h"

namespace cassardd {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;
using nlohmann::json;
using HR = httplib::Server::HandlerResponse;

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kMaxLimit = 500;
constexpr int kMaxStreams = 32;  // of the server's 64 threads

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
  const std::string type = ct.substr(0, ct.find(';'));
  return type == "application/json";
}

std::optional<int64_t> positive(const std::string& s) {
  if (s.empty() || s.size() > 18 || !std::all_of(s.begin(), s.end(), ::isdigit))
    return std::nullopt;
  const int64_t v = std::stoll(s);
  return v > 0 ? std::optional(v) : std::nullopt;
}

// Compares without stopping at the first difference, so the time taken says nothing.
bool sameSecret(const std::string& given, const std::string& token) {
  unsigned char diff = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i)
    diff |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
  return diff == 0;
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

// The library listens with a backlog of 5: a burst of tills connecting at once would find
// the queue full. The socket is told again with room for them.
class HttpServer : public httplib::Server {
 public:
  void widenBacklog() { ::listen(svr_sock_, 512); }
};

Api::Api(const Config& cfg, Store& store, Registers& registers)
    : cfg_(cfg), store_(store), registers_(registers), server_(std::make_unique<HttpServer>()) {
  // Each event stream holds a thread while it is open.
  server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
  server_->set_payload_max_length(kMaxBody);
  server_->set_keep_alive_max_count(1000);
  server_->set_tcp_nodelay(true);
  if (cfg_.listenHost.find(':') != std::string::npos) server_->set_address_family(AF_INET6);
  routes();
}

Api::~Api() = default;

int Api::bind() {
  if (cfg_.listenPort == 0) {
    port_ = server_->bind_to_any_port(cfg_.listenHost);
  } else {
    port_ = server_->bind_to_port(cfg_.listenHost, cfg_.listenPort) ? cfg_.listenPort : -1;
  }
  if (port_ > 0) server_->widenBacklog();
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
  httplib::Server& s = *server_;

  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    const bool api = req.path.rfind("/v1/", 0) == 0 || req.path == "/metrics";
    res.set_header("X-Content-Type-Options", "nosniff");
    if (api) res.set_header("Cache-Control", "no-store");
    // On a loopback address the Host must be the loopback too: a page elsewhere whose
    // name was made to point here (DNS rebinding) gets nothing.
    const std::string host = req.get_header_value("Host");
    const std::string hostName = host.substr(0, host.rfind(':'));
    if (cfg_.loopback() && !host.empty() && hostName != "127.0.0.1" && hostName != "localhost" &&
        hostName != "[::1]" && hostName.rfind("127.", 0) != 0) {
      error(res, 403, "forbidden",
            "this service answers only to its loopback address (Host " + host + ")");
      return HR::Handled;
    }
    const std::string origin = req.get_header_value("Origin");
    const bool listed =
        std::find(cfg_.origins.begin(), cfg_.origins.end(), origin) != cfg_.origins.end();
    if (!origin.empty() && api) {
      const bool sameOrigin = origin == "http://" + host;
      if (!sameOrigin && !listed) {
        error(res, 403, "forbidden", "origin " + origin + " is not among the configured origins",
              "Origin");
        return HR::Handled;
      }
      if (listed) {
        res.set_header("Access-Control-Allow-Origin", origin);
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
    const bool open = !api || req.path == "/v1/openapi.json";
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

  s.set_error_handler(httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
    if (!res.body.empty()) return HR::Unhandled;
    switch (res.status) {
      case 404:
        error(res, 404, "not_found", "no such resource: " + req.method + " " + req.path);
        break;
      case 413:
        error(res, 413, "too_large", "the body is larger than 64 KiB");
        break;
      case 405:
        error(res, 405, "method_not_allowed", req.method + " is not allowed on " + req.path);
        break;
      case 400:
        error(res, 400, "bad_request",
              "the request is malformed (a POST needs a Content-Length, 0 for no body)");
        break;
      default:
        error(res, res.status, res.status >= 500 ? "internal" : "bad_request",
              "the request could not be served");
        break;
    }
    return HR::Handled;
  }));

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
    if (!store_.alive()) return error(res, 503, "unavailable", "the store cannot be read");
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
    json body;
    try {
      body = json::parse(req.body);
    } catch (const json::parse_error& e) {
      return error(res, 400, "bad_json",
                   "the body is not valid JSON (byte " + std::to_string(e.byte) + ")");
    }
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
    if (auto existing = store_.find(reg->name, key)) {
      if (existing->kind == kind && existing->request == request)
        return answer(res, 200, jobJson(*existing));
      return error(res, 409, "key_reused",
                   "Idempotency-Key " + key + " already names job " + std::to_string(existing->id) +
                       " of this register, with a different request",
                   "Idempotency-Key");
    }
    if (lines.error)
      return error(res, 400, lines.error->code, lines.error->message, lines.error->field);
    // A receipt that waits does not print late: its own expiresAt, or the register's
    // queue limit from now.
    JobExtras extras;
    if (kind == "receipt" || kind == "lines")
      extras.expiresAt = body.contains("expiresAt")
                             ? utcText(*parseRfc3339(body["expiresAt"].get<std::string>()))
                             : utcText(nowMs() + int64_t{reg->queueLimitS} * 1000);
    const Store::CreateResult r = store_.create(reg->name, key, kind, request, lines.lines, extras);
    if (r.outcome == Store::Created::Conflict)
      return error(res, 409, "key_reused",
                   "Idempotency-Key " + key + " already names job " + std::to_string(r.job.id) +
                       " of this register, with a different request",
                   "Idempotency-Key");
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
      } else {
        return error(res, 400, "unknown_field",
                     "unknown parameter (known: register, state, limit, before)", k);
      }
    }
    json jobs = json::array();
    const std::vector<Job> page = store_.list(f);
    for (const Job& j : page) jobs.push_back(jobSummaryJson(j));
    answer(
        res, 200,
        {{"jobs", jobs},
         {"next", static_cast<int>(page.size()) == f.limit && !page.empty() ? json(page.back().id)
                                                                            : json(nullptr)}});
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
  s.Post(R"(/v1/jobs/([^/]+)/resolve)", [this, jobOf](const Request& req, Response& res) {
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
    try {
      const Job resolved =
          store_.finish(job->id, JobState::Attention, done ? JobState::Done : JobState::Failed,
                        nullptr, std::nullopt, v);
      registers_.publish(resolved.reg);
      answer(res, 200, jobJson(resolved));
    } catch (const MoveRefused&) {
      const auto now = store_.get(job->id);
      error(res, 409, "not_attention",
            "job " + std::to_string(job->id) + " is " +
                std::string(stateName(now ? now->state : job->state)) +
                ", not attention: only a job in attention is resolved");
    }
  });

  // A queued job cancelled: never sent.
  s.Delete(R"(/v1/jobs/([^/]+))", [this, jobOf](const Request& req, Response& res) {
    const auto job = jobOf(req, res);
    if (!job) return;
    Verdict v;
    v.reason = "cancelled: never sent to the register";
    v.reasonCode = "cancelled";
    v.settledBy = "person";
    try {
      const Job cancelled =
          store_.finish(job->id, JobState::Queued, JobState::Failed, nullptr, std::nullopt, v);
      registers_.publish(cancelled.reg);
      answer(res, 200, jobJson(cancelled));
    } catch (const MoveRefused&) {
      const auto now = store_.get(job->id);
      error(res, 409, "not_queued",
            "job " + std::to_string(job->id) + " is " +
                std::string(stateName(now ? now->state : job->state)) +
                ": only a queued job can be cancelled, one that started is settled from the "
                "register");
    }
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
    const fs::path p = fs::path(cfg_.stateDir) / "jobs" / std::to_string(job->id) / name;
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
    auto provide = [this, last](size_t, httplib::DataSink& sink) {
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
      store_.waitForEvent(*last, std::chrono::seconds(15), stopping_);
      if (stopping_) return false;
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

  // What is left under /v1 is no resource, or the wrong method for one.
  auto wrongMethod = [](const Request& req, Response& res) {
    static const std::regex known(
        R"(/v1/(registers(/[^/]+(/(receipts|jobs|resume))?)?|jobs(/[^/]+(/files/.+|/resolve)?)?|events|openapi\.json))");
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

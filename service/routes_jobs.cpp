#include <regex>

#include "service/api.h"
#include "service/http.h"
#include "service/money.h"
#include "service/receipt.h"
#include "service/routes.h"

namespace cassardd {

using nlohmann::json;

namespace {

constexpr int kMaxLimit = 500;
const std::regex kKey("[A-Za-z0-9._:-]{1,64}");

// A request for a new job, read once: its key, its canonical body, and what it becomes
// on the register (the sales lines, or why there are none).
struct NewJob {
  std::string key, kind, request;
  nlohmann::json body;
  Lines lines;
};

// The key and the body of a POST of a job; empty when it is refused (answered in `res`).
std::optional<NewJob> newJobOf(const http::Request& req, http::Response& res,
                               const RegisterConfig& reg, bool receipt) {
  if (!jsonBody(req, res)) return std::nullopt;
  if (!req.has_header("Idempotency-Key"))
    return refused(res, 400, "missing_idempotency_key",
                   "every request that creates a job carries an Idempotency-Key header",
                   "Idempotency-Key");
  NewJob j;
  j.key = req.get_header_value("Idempotency-Key");
  if (!std::regex_match(j.key, kKey))
    return refused(res, 400, "bad_idempotency_key",
                   "an Idempotency-Key is 1 to 64 characters of A-Z a-z 0-9 . _ : -",
                   "Idempotency-Key");
  Parsed parsed = parseRequest(req.body);
  if (parsed.error)
    return refused(res, 400, parsed.error->code, parsed.error->message,
                   parsed.error->field.empty() ? std::nullopt : std::optional(parsed.error->field));
  j.body = std::move(parsed.body);
  j.request = j.body.dump();
  j.kind = kindName(JobKind::Receipt);
  if (receipt) {
    j.lines = receiptLines(j.body, reg);
  } else {
    JobRequest jr = jobRequestLines(j.body);
    j.kind = jr.kind;
    j.lines = std::move(jr.lines);
  }
  return j;
}

void keyReused(http::Response& res, const std::string& key, int64_t id, bool pruned) {
  error(res, 409, "key_reused",
        "Idempotency-Key " + key + " already names job " + std::to_string(id) +
            (pruned ? " (pruned after keep_days)" : "") +
            " of this register, with a different request",
        "Idempotency-Key");
}

// A person's word on a job in attention, read from the body of a resolve.
struct Resolution {
  bool done = false;
  Verdict verdict;
};

std::optional<Resolution> resolutionOf(const http::Request& req, http::Response& res,
                                       const Job& job) {
  if (!jsonBody(req, res)) return std::nullopt;
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object())
    return refused(res, 400, "bad_json",
                   "the body must be a JSON object: {\"outcome\": \"done\" or \"failed\", ...}");
  for (const auto& [k, v] : body.items())
    if (k != "outcome" && k != "receiptNumber" && k != "note")
      return refused(res, 400, "unknown_field",
                     "unknown field (known: outcome, receiptNumber, note)", k);
  const json outcome = body.value("outcome", json(nullptr));
  if (outcome != stateName(JobState::Done) && outcome != stateName(JobState::Failed))
    return refused(res, 400, "invalid", "outcome is \"done\" or \"failed\"", "outcome");
  const bool done = outcome == stateName(JobState::Done);
  std::optional<std::string> number;
  if (body.contains("receiptNumber")) {
    static const std::regex fourDigits("[0-9]{4}");
    const json& n = body["receiptNumber"];
    if (!done)
      return refused(res, 400, "invalid", "a receiptNumber goes only with outcome \"done\"",
                     "receiptNumber");
    if (!n.is_string() || !std::regex_match(n.get<std::string>(), fourDigits))
      return refused(res, 400, "invalid",
                     "receiptNumber is the register's four digits, e.g. \"0125\"", "receiptNumber");
    number = n.get<std::string>();
  } else if (done && job.is(JobKind::Receipt)) {
    return refused(res, 400, "invalid",
                   "a receipt resolved as done needs the receiptNumber printed on it",
                   "receiptNumber");
  }
  std::optional<std::string> note;
  if (body.contains("note")) {
    if (!body["note"].is_string() || body["note"].get<std::string>().size() > 500)
      return refused(res, 400, "invalid", "note is a text of at most 500 bytes", "note");
    note = body["note"].get<std::string>();
  }
  Resolution r{done, {}};
  Verdict& v = r.verdict;
  v.reason = done ? "resolved by a person: done" + (number ? ", receipt " + *number : "")
                  : "resolved by a person: failed";
  v.reasonCode = done ? "resolved_done" : "resolved_failed";
  if (done) v.reasonParams = {{"receiptNumber", number ? json(*number) : json(nullptr)}};
  v.receiptNumber = number;
  v.settledBy = "person";
  v.note = note;
  return r;
}

}  // namespace

void Api::jobRoutes() {
  http::Server& s = *server_;
  s.Post(R"(/v1/registers/(.+)/receipts)",
         [this](const Request& req, Response& res) { postJob(req, res, true); });
  s.Post(R"(/v1/registers/(.+)/jobs)",
         [this](const Request& req, Response& res) { postJob(req, res, false); });
  s.Get("/v1/jobs", [this](const Request& req, Response& res) { listJobs(req, res); });
  s.Get(R"(/v1/jobs/([^/]+))", [this](const Request& req, Response& res) {
    if (const auto job = jobOf(req, res)) answer(res, 200, jobJson(*job));
  });
  // A person's word on a job in attention: what happened at the register.
  s.Post(R"(/v1/jobs/([^/]+)/resolve)",
         [this](const Request& req, Response& res) { resolve(req, res); });
  // A queued job cancelled: never sent.
  s.Delete(R"(/v1/jobs/([^/]+))", [this](const Request& req, Response& res) { cancel(req, res); });
}

// POST of a job: the key, the body, then the store decides 201, 200 or 409.
void Api::postJob(const Request& req, Response& res, bool receipt) {
  const RegisterConfig* reg = registerOf(req, res);
  if (!reg) return;
  const std::optional<NewJob> job = newJobOf(req, res, *reg, receipt);
  if (!job) return;
  const std::string& key = job->key;
  const std::string& kind = job->kind;
  const std::string& request = job->request;
  const Lines& lines = job->lines;
  // The key decides first: a repeat is answered from the store even if the request would
  // no longer pass, and any other request under a used key is a conflict.
  if (auto existing = store_.find(reg->name, key)) {
    if (sameRequest(*existing, kind, request)) return answer(res, 200, jobJson(*existing));
    return keyReused(res, key, existing->id, false);
  }
  // A key whose job was pruned stays that job's: the till learns what became of it.
  if (auto pruned = store_.findPruned(reg->name, key)) {
    if (sameRequest(*pruned, kind, request)) return answer(res, 200, prunedJobJson(*pruned));
    return keyReused(res, key, pruned->id, true);
  }
  if (lines.error)
    return error(res, 400, lines.error->code, lines.error->message, lines.error->field);
  // A receipt that waits does not print late: its own expiresAt, or the register's
  // queue limit from now.
  JobExtras extras{lines.total, lines.change, std::nullopt};
  if (kind == kindName(JobKind::Receipt) || kind == kindName(JobKind::Lines))
    extras.expiresAt =
        lines.expiresAt.value_or(utcText(nowMs() + int64_t{reg->queueLimitS} * 1000));
  const Store::CreateResult r = store_.create(reg->name, key, kind, request, lines.lines, extras);
  if (r.pruned && r.outcome == Store::Created::Same)
    return answer(res, 200, prunedJobJson(*r.pruned));
  if (r.outcome == Store::Created::Conflict)
    return keyReused(res, key, r.pruned ? r.pruned->id : r.job.id, !!r.pruned);
  if (r.outcome == Store::Created::New) {
    registers_.jobQueued(reg->name);
    res.set_header("Location", "/v1/jobs/" + std::to_string(r.job.id));
  }
  answer(res, r.outcome == Store::Created::New ? 201 : 200, jobJson(r.job));
}

// The query of GET /v1/jobs as the store's filter; empty when it is refused.
std::optional<Store::Filter> Api::filterOf(const Request& req, Response& res) {
  Store::Filter f;
  for (const auto& [k, v] : req.params) {
    if (k == "register") {
      if (!cfg_.findRegister(v))
        return refused(res, 400, "invalid", "no register named \"" + v + "\"", "register");
      f.reg = v;
    } else if (k == "state") {
      f.state = stateFromName(v);
      if (!f.state) {
        std::string known;
        for (const JobState st : allStates())
          known += (known.empty() ? "" : ", ") + std::string(stateName(st));
        return refused(res, 400, "invalid", "state is one of " + known, "state");
      }
    } else if (k == "limit") {
      const auto n = positive(v);
      if (!n || *n > kMaxLimit)
        return refused(res, 400, "invalid", "limit is a number from 1 to 500", "limit");
      f.limit = static_cast<int>(*n);
    } else if (k == "before") {
      f.before = positive(v);
      if (!f.before)
        return refused(res, 400, "invalid", "before is a job id (a positive number)", "before");
    } else if (k == "q") {
      if (v.empty()) continue;
      if (v.size() > 64) return refused(res, 400, "invalid", "q is at most 64 characters", "q");
      f.text = v;
      f.cents = money::centsOf(v);
    } else if (k == "from" || k == "to") {
      if (v.empty()) continue;
      auto& bound = k == "from" ? f.from : f.to;
      bound = searchBound(v, k == "to");
      if (!bound)
        return refused(res, 400, "invalid",
                       k + " is a date (2026-12-07) or an RFC 3339 time (2026-12-07T16:52:00Z)", k);
    } else {
      return refused(res, 400, "unknown_field",
                     "unknown parameter (known: register, state, limit, before, q, from, to)", k);
    }
  }
  return f;
}

void Api::listJobs(const Request& req, Response& res) {
  const std::optional<Store::Filter> filter = filterOf(req, res);
  if (!filter) return;
  const Store::Filter& f = *filter;
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
    return jsonText({{"jobs", jobs}, {"next", more ? json(page.back().id) : json(nullptr)}}) + "\n";
  });
  res.status = 200;
  res.set_content(*text, "application/json");
}

std::optional<Job> Api::jobOf(const Request& req, Response& res) {
  const auto id = positive(req.matches[1].str());
  if (!id) {
    error(res, 400, "invalid", "a job id is a positive number", "id");
    return std::nullopt;
  }
  auto job = store_.get(*id);
  if (!job) error(res, 404, "unknown_job", "no job " + std::to_string(*id), "id");
  return job;
}

// A person's word on a job (resolve, cancel): the guarded move, its event and the
// register's; a job no longer in `from` is a 409 that says what it is now.
void Api::settleByPerson(Response& res, const Job& job, JobState from, JobState to,
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
}

void Api::resolve(const Request& req, Response& res) {
  const auto job = jobOf(req, res);
  if (!job) return;
  const auto r = resolutionOf(req, res, *job);
  if (!r) return;
  settleByPerson(res, *job, JobState::Attention, r->done ? JobState::Done : JobState::Failed,
                 r->verdict, "not_attention",
                 ", not attention: only a job in attention is resolved");
}

void Api::cancel(const Request& req, Response& res) {
  const auto job = jobOf(req, res);
  if (!job) return;
  Verdict v;
  v.reason = "cancelled: never sent to the register";
  v.reasonCode = "cancelled";
  v.settledBy = "person";
  settleByPerson(res, *job, JobState::Queued, JobState::Failed, v, "not_queued",
                 ": only a queued job can be cancelled, one that started is settled from the "
                 "register");
}

}  // namespace cassardd

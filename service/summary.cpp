#include "service/summary.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <vector>

#include "service/when.h"

namespace cassardd {

using nlohmann::json;

namespace {

constexpr int kMostDays = 366;

// The local midnight that starts a YYYY-MM-DD, or nothing for a date that is no calendar
// date (mktime moves February 31 to March 3 without a word: refuse what it moved).
std::optional<time_t> localMidnight(const std::string& date) {
  static const std::regex form(R"((\d{4})-(\d{2})-(\d{2}))");
  std::smatch m;
  if (!std::regex_match(date, m, form)) return std::nullopt;
  std::tm tm{};
  tm.tm_year = std::stoi(m[1].str()) - 1900;
  tm.tm_mon = std::stoi(m[2].str()) - 1;
  tm.tm_mday = std::stoi(m[3].str());
  tm.tm_isdst = -1;
  const std::tm given = tm;
  const time_t t = mktime(&tm);
  if (t == -1 || tm.tm_mday != given.tm_mday || tm.tm_mon != given.tm_mon) return std::nullopt;
  return t;
}

std::string localDate(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

// The midnight of the day after the one starting at `midnight` (23, 24 or 25 hours on).
time_t nextMidnight(time_t midnight) {
  std::tm tm{};
  localtime_r(&midnight, &tm);
  tm.tm_mday += 1;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// The service's time zone by name: TZ, else what /etc/localtime links to, else its
// abbreviation now.
std::string zoneName() {
  if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
  char buf[256];
  const ssize_t n = readlink("/etc/localtime", buf, sizeof buf - 1);
  if (n > 0) {
    const std::string link(buf, static_cast<std::size_t>(n));
    if (const auto at = link.find("zoneinfo/"); at != std::string::npos) return link.substr(at + 9);
  }
  const time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm.tm_zone ? tm.tm_zone : "UTC";
}

class Query {
 public:
  Query(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK)
      throw StoreError(std::string("summary: ") + sqlite3_errmsg(db));
  }
  ~Query() { sqlite3_finalize(s_); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  // ?1 and ?2 the span's instants, ?3 the register or NULL for all; ?4 to ?9 the states'
  // names as the store writes them (done, failed, attention, queued, running, uncertain).
  // A statement without one of them just refuses its binding.
  Query& span(const ShopDays& d, const std::optional<std::string>& reg) {
    text(1, d.fromAt).text(2, d.toAt);
    if (reg) text(3, *reg);
    int at = 4;
    for (JobState st : {JobState::Done, JobState::Failed, JobState::Attention, JobState::Queued,
                        JobState::Running, JobState::Uncertain})
      text(at++, std::string(stateName(st)));
    return *this;
  }
  bool step() {
    const int rc = sqlite3_step(s_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      throw StoreError(std::string("summary: ") + sqlite3_errmsg(sqlite3_db_handle(s_)));
    return rc == SQLITE_ROW;
  }
  Query& text(int at, const std::string& v) {
    sqlite3_bind_text(s_, at, v.c_str(), -1, SQLITE_TRANSIENT);
    return *this;
  }
  int64_t i64(int c) const { return sqlite3_column_int64(s_, c); }
  json text(int c) const {
    const auto* p = sqlite3_column_text(s_, c);
    return p ? json(reinterpret_cast<const char*>(p)) : json(nullptr);
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

// Receipts only (a `lines` job carries no total), by the time the till sent them, as the
// jobs list filters by createdAt: the day's figures and the day's list are the same jobs.
#define RECEIPTS_IN_SPAN                                             \
  " j.kind = 'receipt' AND j.created_at >= ?1 AND j.created_at < ?2" \
  " AND (?3 IS NULL OR j.register = ?3)"

// How many receipts ended each way, and the totals and change the service stored for
// each printed one when it accepted it (money's own count, never counted again here).
constexpr const char* kCounts =
    "SELECT j.register, sum(j.state = ?4),"
    " sum(j.state = ?4 AND j.settled_by = 'register'),"
    " sum(j.state = ?4 AND j.settled_by = 'person'), sum(j.state = ?5),"
    " sum(j.state = ?6), sum(j.state IN (?7, ?8, ?9)),"
    " coalesce(sum(CASE WHEN j.state = ?4 THEN j.total_cents END), 0),"
    " coalesce(sum(CASE WHEN j.state = ?4 THEN j.change_cents END), 0)"
    " FROM jobs j WHERE" RECEIPTS_IN_SPAN " GROUP BY j.register";

// What each payment method took, from the payments of the stored request: a payment's
// amount, or for one without (it pays the rest) the stored total less the payments before
// it. The service refused any payment after the total was reached, so these add up to the
// total plus the change.
constexpr const char* kPayments =
    "SELECT j.register, json_extract(p.value, '$.method'), count(*),"
    " sum(coalesce(json_extract(p.value, '$.amount'), j.total_cents - coalesce((SELECT"
    " sum(json_extract(q.value, '$.amount')) FROM json_each(j.request, '$.payments') q"
    " WHERE q.key < p.key), 0)))"
    " FROM jobs j, json_each(j.request, '$.payments') p WHERE j.state = ?4 AND" RECEIPTS_IN_SPAN
    " GROUP BY 1, 2 ORDER BY 1, 2";

// The returned items of printed receipts: price x quantity, half up to the cent (the
// register's rule, as money::lineAmount).
constexpr const char* kReturns =
    "SELECT j.register, count(*), sum((json_extract(i.value, '$.price') * CAST(round(coalesce("
    "json_extract(i.value, '$.quantity'), 1) * 1000) AS INTEGER) + 500) / 1000)"
    " FROM jobs j, json_each(j.request, '$.items') i WHERE j.state = ?4"
    " AND json_extract(i.value, '$.return') = 1 AND" RECEIPTS_IN_SPAN " GROUP BY 1";

// The first and the last printed receipt's number on each register, in the jobs' order.
constexpr const char* kNumbers =
    "SELECT g.register, f.receipt_number, l.receipt_number FROM (SELECT j.register,"
    " min(j.id) AS a, max(j.id) AS b FROM jobs j WHERE j.state = ?4 AND" RECEIPTS_IN_SPAN
    " GROUP BY j.register) g JOIN jobs f ON f.id = g.a JOIN jobs l ON l.id = g.b";

#undef RECEIPTS_IN_SPAN

json emptyFigures() {
  return {{"printed", 0},
          {"settledAtResume", 0},
          {"settledByPerson", 0},
          {"notPrinted", 0},
          {"needPerson", 0},
          {"pending", 0},
          {"takings", 0},
          {"change", 0},
          {"returns", 0},
          {"returnedItems", 0},
          {"payments", json::array()}};
}

const char* const kCounted[] = {"printed",    "settledAtResume", "settledByPerson", "notPrinted",
                                "needPerson", "pending",         "takings",         "change"};

void addPayment(json& figures, const json& method, int64_t count, int64_t amount) {
  for (json& p : figures["payments"])
    if (p["method"] == method) {
      p["count"] = p["count"].get<int64_t>() + count;
      p["amount"] = p["amount"].get<int64_t>() + amount;
      return;
    }
  figures["payments"].push_back({{"method", method}, {"count", count}, {"amount", amount}});
}

void refuse(http::Response& res, const std::string& code, const std::string& message,
            const std::string& field) {
  res.status = 400;
  res.set_content(
      json{{"error", {{"code", code}, {"message", message}, {"field", field}}}}.dump() + "\n",
      "application/json");
}

}  // namespace

std::optional<ShopDays> shopDays(const std::string& from, const std::string& to) {
  ShopDays d;
  d.from = from.empty() ? (to.empty() ? localDate(time(nullptr)) : to) : from;
  d.to = to.empty() ? d.from : to;
  const auto a = localMidnight(d.from);
  const auto b = localMidnight(d.to);
  if (!a || !b) return std::nullopt;
  d.fromAt = utcText(static_cast<int64_t>(*a) * 1000);
  d.toAt = utcText(static_cast<int64_t>(nextMidnight(*b)) * 1000);
  return d;
}

json summarize(Store& store, const Config& cfg, const ShopDays& days,
               const std::optional<std::string>& reg) {
  // Every register asked for, in the configuration's order, with nothing yet; then any
  // other name the store holds jobs of (a register since taken out of the file).
  std::map<std::string, json> by;
  std::vector<std::string> order;
  const auto entry = [&](const std::string& name) -> json& {
    if (!by.count(name)) {
      json e = emptyFigures();
      e["register"] = name;
      e["firstReceipt"] = e["lastReceipt"] = nullptr;
      by[name] = e;
      order.push_back(name);
    }
    return by[name];
  };
  for (const RegisterConfig& r : cfg.registers)
    if (!reg || r.name == *reg) entry(r.name);

  store.read([&](sqlite3* db) {
    for (Query q(db, kCounts); q.span(days, reg).step();) {
      json& e = entry(q.text(0));
      for (int c = 0; c < 8; ++c) e[kCounted[c]] = q.i64(c + 1);
    }
    for (Query q(db, kPayments); q.span(days, reg).step();)
      addPayment(entry(q.text(0)), q.text(1), q.i64(2), q.i64(3));
    for (Query q(db, kReturns); q.span(days, reg).step();) {
      json& e = entry(q.text(0));
      e["returnedItems"] = q.i64(1);
      e["returns"] = q.i64(2);
    }
    for (Query q(db, kNumbers); q.span(days, reg).step();) {
      json& e = entry(q.text(0));
      e["firstReceipt"] = q.text(1);
      e["lastReceipt"] = q.text(2);
    }
  });

  json all = emptyFigures();
  json regs = json::array();
  for (const std::string& name : order) {
    const json& e = by[name];
    for (const char* k : kCounted) all[k] = all[k].get<int64_t>() + e[k].get<int64_t>();
    all["returns"] = all["returns"].get<int64_t>() + e["returns"].get<int64_t>();
    all["returnedItems"] = all["returnedItems"].get<int64_t>() + e["returnedItems"].get<int64_t>();
    for (const json& p : e["payments"]) addPayment(all, p["method"], p["count"], p["amount"]);
    regs.push_back(e);
  }
  return {{"from", days.from},
          {"to", days.to},
          {"timeZone", zoneName()},
          {"fromAt", days.fromAt},
          {"toAt", days.toAt},
          {"registers", regs},
          {"all", all}};
}

void addSummaryRoute(http::Server& server, const Config& cfg, Store& store) {
  server.Get("/v1/summary", [&cfg, &store](const http::Request& req, http::Response& res) {
    std::string from, to;
    std::optional<std::string> reg;
    for (const auto& [k, v] : req.params) {
      if (k == "from" || k == "to") {
        (k == "from" ? from : to) = v;
      } else if (k == "register") {
        if (v.empty()) continue;
        if (!cfg.findRegister(v))
          return refuse(res, "invalid", "no register named \"" + v + "\"", "register");
        reg = v;
      } else {
        return refuse(res, "unknown_field", "unknown parameter (known: from, to, register)", k);
      }
    }
    for (const auto& [name, value] : {std::pair{"from", from}, std::pair{"to", to}})
      if (!value.empty() && !localMidnight(value))
        return refuse(res, "invalid", std::string(name) + " is a date (2026-12-07)", name);
    const auto days = shopDays(from, to);
    if (!days || days->to < days->from)
      return refuse(res, "invalid", "to is a date on or after from", "to");
    if (*localMidnight(days->to) - *localMidnight(days->from) > (kMostDays - 1) * 86400L + 7200)
      return refuse(res, "invalid", "a summary spans at most 366 days", "to");
    res.status = 200;
    res.set_content(jsonText(summarize(store, cfg, *days, reg)) + "\n", "application/json");
  });
}

}  // namespace cassardd

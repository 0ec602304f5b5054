#include "service/receipt.h"

#include <cstdio>

#include "service/lines_check.h"
#include "service/money.h"
#include "service/when.h"

namespace cassardd {

using nlohmann::json;

namespace {

constexpr std::size_t kDescLen = 35;     // description column
constexpr std::size_t kTextRowLen = 16;  // what a DY row prints
constexpr std::size_t kMaxLine = 254;    // what cassard reads of a line
constexpr long long kMaxAmount = money::kMostAmount;
constexpr std::size_t kMaxItems = 200;
constexpr std::size_t kMaxPayments = 20;
constexpr std::size_t kMaxTexts = 9;  // DY rows 1 to 9
constexpr std::size_t kMaxLines = 1000;

struct Bad {
  Violation v;
};
[[noreturn]] void bad(const std::string& field, const std::string& message) {
  throw Bad{{"invalid", field, message}};
}

void onlyKeys(const json& obj, const std::string& at, std::initializer_list<const char*> known) {
  for (const auto& [k, v] : obj.items()) {
    bool ok = false;
    for (const char* name : known) ok = ok || k == name;
    if (!ok) {
      std::string list;
      for (const char* name : known) list += std::string(list.empty() ? "" : ", ") + name;
      throw Bad{
          {"unknown_field", at.empty() ? k : at + "." + k, "unknown field (known: " + list + ")"}};
    }
  }
}

// A request's own expiresAt, when it is given: an RFC 3339 date-time, kept in UTC as the
// store keeps its times.
std::optional<std::string> expiresAt(const json& body) {
  if (!body.contains("expiresAt")) return std::nullopt;
  const json& v = body["expiresAt"];
  const auto ms = v.is_string() ? parseRfc3339(v.get<std::string>()) : std::nullopt;
  if (!ms) bad("expiresAt", "must be an RFC 3339 date-time, e.g. \"2026-12-07T12:00:00Z\"");
  return utcText(*ms);
}

std::string path(const std::string& at, const char* key) {
  return at.empty() ? key : at + "." + key;
}

// A text the register can print: Latin-1, no control characters.
std::string registerText(const json& v, const std::string& field, std::size_t maxLen) {
  if (!v.is_string()) bad(field, "must be a string");
  const auto latin = toLatin1(v.get<std::string>());
  if (!latin) bad(field, "has a character the register cannot print (only Latin-1 is possible)");
  for (unsigned char c : *latin)
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) bad(field, "must not contain control characters");
  if (latin->empty()) bad(field, "must not be empty");
  if (latin->size() > maxLen)
    bad(field, "must be at most " + std::to_string(maxLen) + " characters (it has " +
                   std::to_string(latin->size()) + ")");
  return *latin;
}

long long integerIn(const json& v, const std::string& field, long long lo, long long hi,
                    const char* what) {
  if (!v.is_number_integer()) bad(field, std::string("must be an integer") + what);
  const long long n = v.is_number_unsigned() && v.get<unsigned long long>() > 1ULL << 62
                          ? hi + 1
                          : v.get<long long>();
  if (n < lo || n > hi)
    bad(field, "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
  return n;
}

bool boolean(const json& v, const std::string& field) {
  if (!v.is_boolean()) bad(field, "must be true or false");
  return v.get<bool>();
}

// Thousandths of the quantity, exact: 2.5 -> 2500.
long long quantityMilli(const json& v, const std::string& field) {
  if (!v.is_number()) bad(field, "must be a number");
  const auto milli = money::quantityMilli(v.get<double>());
  if (!milli) bad(field, "must be a multiple of 0.001 from 0.001 to 99999.999");
  return *milli;
}

std::string cents(long long c) {
  return std::to_string(c) + " cents";
}

const json& array(const json& body, const char* key, const std::string& at, std::size_t lo,
                  std::size_t hi) {
  if (!body.contains(key)) bad(path(at, key), "missing");
  const json& a = body[key];
  if (!a.is_array()) bad(path(at, key), "must be an array");
  if (a.size() < lo || a.size() > hi)
    bad(path(at, key),
        "must have " + std::to_string(lo) + " to " + std::to_string(hi) + " entries");
  return a;
}

std::string index(const char* key, std::size_t i) {
  return std::string(key) + "[" + std::to_string(i) + "]";
}

}  // namespace

namespace {

// The items' lines: 00 quantity (when not 1), 02 return, 01 sale; their total in cents.
money::Cents itemLines(const json& items, std::vector<std::string>& l) {
  money::Cents total = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string at = index("items", i);
    const json& it = items[i];
    if (!it.is_object()) bad(at, "must be an object");
    onlyKeys(it, at, {"description", "price", "quantity", "department", "return"});
    if (!it.contains("description")) bad(path(at, "description"), "missing");
    const std::string descr = registerText(it["description"], path(at, "description"), kDescLen);
    if (!it.contains("price")) bad(path(at, "price"), "missing");
    const long long price =
        integerIn(it["price"], path(at, "price"), 1, kMaxAmount, " number of cents");
    const long long milli =
        it.contains("quantity") ? quantityMilli(it["quantity"], path(at, "quantity")) : 1000;
    const int dept =
        it.contains("department")
            ? static_cast<int>(integerIn(it["department"], path(at, "department"), 1, 30, ""))
            : 1;
    const bool isReturn = it.contains("return") && boolean(it["return"], path(at, "return"));
    const money::Cents amount = money::lineAmount(price, milli);
    if (amount == 0)
      bad(path(at, "quantity"), "price x quantity comes to 0 cents, which the register refuses");
    if (milli != 1000) l.push_back(salesLine("00", "", milli));
    if (isReturn) l.push_back(salesLine("02"));
    l.push_back(salesLine("01", descr, price, dept));
    total += isReturn ? -amount : amount;
  }
  return total;
}

// A payment's line, by its method's record (its rest record without an amount, its
// fiscal-report twin when it is the last with fiscalReport set), and what it tenders.
money::Tender paymentLine(const json& p, const std::string& at, bool last, bool fiscal,
                          const RegisterConfig& reg, std::vector<std::string>& l) {
  if (!p.is_object()) bad(at, "must be an object");
  onlyKeys(p, at, {"method", "amount"});
  if (!p.contains("method")) bad(path(at, "method"), "missing");
  if (!p["method"].is_string()) bad(path(at, "method"), "must be a string");
  const std::string method = p["method"].get<std::string>();
  const auto found = reg.payments.find(method);
  if (found == reg.payments.end()) {
    std::string known;
    for (const auto& [name, m] : reg.payments) known += (known.empty() ? "" : ", ") + name;
    bad(path(at, "method"), "\"" + method + "\" is not a payment method of register " + reg.name +
                                " (configured: " + (known.empty() ? "none" : known) + ")");
  }
  const PaymentMethod& m = found->second;
  std::string code;
  money::Tender t{std::nullopt, m.change};
  if (p.contains("amount")) {
    if (!m.amount)
      bad(path(at, "amount"), "method " + method + " takes no amount: it pays what is due");
    t.amount = integerIn(p["amount"], path(at, "amount"), 1, kMaxAmount, " number of cents");
    code = m.record;
  } else {
    if (m.rest.empty())
      bad(path(at, "amount"), "missing: method " + method + " cannot pay the rest without one");
    if (!last)
      bad(path(at, "amount"),
          "missing: only the last payment may leave out its amount to pay the rest");
    code = m.rest;
  }
  if (fiscal && last) {
    const std::string twin = fiscalTwin(code);
    if (twin.empty())
      bad(path(at, "method"), "method " + method + " (record " + code +
                                  ") cannot ask for the fiscal report; with fiscalReport the last "
                                  "payment must use record 10, 11, 21 or 22");
    code = twin;
  }
  l.push_back(salesLine(code, "", t.amount.value_or(-1)));
  return t;
}

// How the payments meet the total, refused where the register would refuse it.
void checkTendered(const money::Tendered& paid, money::Cents total, const json& payments) {
  const std::string at = index("payments", paid.at);
  switch (paid.fault) {
    case money::Tendered::Fault::None:
      break;
    case money::Tendered::Fault::AfterTotal:
      bad(at, "the total of " + cents(total) + " is already paid: no payment may follow");
    case money::Tendered::Fault::OverWithoutChange:
      bad(path(at, "amount"), "is more than the " + cents(paid.due) + " still due, and method " +
                                  payments[paid.at]["method"].get<std::string>() +
                                  " gives no change");
    case money::Tendered::Fault::Short:
      bad("payments", "the payments leave " + cents(paid.due) + " of the " + cents(total) +
                          " unpaid (a last payment without amount pays the rest)");
  }
}

}  // namespace

// Columns:
//   0         1         2         3         4
//   0123456789012345678901234567890123456789012345678
//   ccdddddddddddddddddddddddddddddddddddpppppppppnn
std::string salesLine(std::string_view code, std::string_view descr, long long amount, int number) {
  std::string line(code.substr(0, 2));
  line.resize(2, ' ');
  std::string d(descr.substr(0, kDescLen));
  d.resize(kDescLen, ' ');
  line += d;
  char buf[24];
  if (amount >= 0) {
    std::snprintf(buf, sizeof buf, "%09lld", amount);
    line += buf;
  } else {
    line += std::string(9, ' ');
  }
  if (number >= 0) {
    std::snprintf(buf, sizeof buf, "%02d", number % 100);
    line += buf;
  } else {
    line += "  ";
  }
  return line;
}

Lines receiptLines(const json& body, const RegisterConfig& reg) {
  Lines out;
  try {
    if (!body.is_object()) bad("", "the receipt must be a JSON object");
    onlyKeys(body, "", {"operator", "items", "payments", "texts", "fiscalReport", "expiresAt"});
    out.expiresAt = expiresAt(body);
    std::vector<std::string>& l = out.lines;
    if (body.contains("operator"))
      l.push_back(salesLine("03", "", -1,
                            static_cast<int>(integerIn(body["operator"], "operator", 1, 15, ""))));

    const json& items = array(body, "items", "", 1, kMaxItems);
    const money::Cents total = itemLines(items, l);
    if (total <= 0)
      bad("total", "the receipt comes to " + cents(total) +
                       "; the register closes only a receipt of more than 0");
    if (total > reg.maxTotal)
      bad("total", "the receipt comes to " + cents(total) + ", more than the " +
                       cents(reg.maxTotal) + " register " + reg.name + " takes (max_total)");

    const json& payments = array(body, "payments", "", 1, kMaxPayments);
    const bool fiscal =
        body.contains("fiscalReport") && boolean(body["fiscalReport"], "fiscalReport");
    std::vector<money::Tender> tenders;
    for (std::size_t i = 0; i < payments.size(); ++i) {
      const std::string at = index("payments", i);
      const bool last = i + 1 == payments.size();
      const json& p = payments[i];
      tenders.push_back(paymentLine(p, at, last, fiscal, reg, l));
    }
    const money::Tendered paid = money::tender(total, tenders);
    checkTendered(paid, total, payments);
    out.total = total;
    out.change = paid.change;
    l.push_back(salesLine("99"));

    if (body.contains("texts")) {
      const json& texts = array(body, "texts", "", 0, kMaxTexts);
      for (std::size_t i = 0; i < texts.size(); ++i)
        l.push_back(salesLine("DY", registerText(texts[i], index("texts", i), kTextRowLen), -1,
                              static_cast<int>(10 * (i + 1))));
    }
  } catch (const Bad& b) {
    out = Lines{};
    out.error = b.v;
  }
  return out;
}

json paymentsJson(const RegisterConfig& reg) {
  json a = json::array();
  for (const auto& [method, m] : reg.payments)
    a.push_back({{"method", method},
                 {"code", m.record},
                 {"amount", m.amount},
                 {"change", m.change},
                 {"rest", !m.rest.empty()}});
  return a;
}

Parsed parseRequest(std::string_view text) {
  // Where the parser is, for a number it cannot hold: each open object's key, each open
  // array's count of elements done.
  struct Frame {
    bool array;
    std::string key;
    std::size_t done = 0;
  };
  std::vector<Frame> open;
  auto ended = [&] {
    if (!open.empty() && open.back().array) ++open.back().done;
  };
  const json::parser_callback_t track = [&](int, json::parse_event_t e, json& parsed) {
    switch (e) {
      case json::parse_event_t::object_start:
        open.push_back({false, "", 0});
        break;
      case json::parse_event_t::array_start:
        open.push_back({true, "", 0});
        break;
      case json::parse_event_t::key:
        open.back().key = parsed.get<std::string>();
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        open.pop_back();
        ended();
        break;
      case json::parse_event_t::value:
        ended();
        break;
    }
    return true;
  };
  Parsed p;
  try {
    p.body = json::parse(text, track);
  } catch (const json::parse_error& e) {
    p.error = Violation{"bad_json", "",
                        "the body is not valid JSON (byte " + std::to_string(e.byte) + ")"};
  } catch (const json::exception& e) {
    // 1e400 and the like: the number does not fit a double.
    std::string field;
    for (const Frame& f : open)
      field += f.array ? "[" + std::to_string(f.done) + "]" : (field.empty() ? "" : ".") + f.key;
    const std::string what = e.what();
    const auto quote = what.find('\'');
    p.error = Violation{"bad_json", field,
                        "the body has a number out of range" +
                            (quote == std::string::npos ? "" : " (" + what.substr(quote) + ")")};
  }
  return p;
}

JobRequest jobRequestLines(const json& body) {
  JobRequest r;
  try {
    if (!body.is_object()) bad("", "the job must be a JSON object");
    if (!body.contains("kind")) bad("kind", "missing");
    if (!body["kind"].is_string()) bad("kind", "must be a string");
    r.kind = body["kind"].get<std::string>();
    if (r.kind == kindName(JobKind::Lines)) {
      onlyKeys(body, "", {"kind", "lines", "expiresAt"});
      r.lines.expiresAt = expiresAt(body);
      const json& lines = array(body, "lines", "", 1, kMaxLines);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string at = index("lines", i);
        if (!lines[i].is_string()) bad(at, "must be a string");
        const auto latin = toLatin1(lines[i].get<std::string>());
        if (!latin) bad(at, "has a character outside Latin-1");
        if (latin->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
          bad(at, "must not contain a line end or a NUL byte");
        if (latin->size() > kMaxLine)
          bad(at, "must be at most 254 bytes in Latin-1 (it has " + std::to_string(latin->size()) +
                      ")");
        r.lines.lines.push_back(*latin);
      }
      // As the driver reads them: a line it would not take as written is refused here.
      if (auto f = checkSalesLines(r.lines.lines)) throw Bad{{"invalid", f->field, f->message}};
    } else if (r.kind == kindName(JobKind::Download)) {
      onlyKeys(body, "", {"kind", "download"});
      if (!body.contains("download")) bad("download", "missing");
      const json& d = body["download"];
      const std::string what = d.is_string() ? d.get<std::string>() : "";
      // The file name is the description up to its '-'.
      if (what == "journal-hex")
        r.lines.lines = {salesLine("55", "journal.txt-", -1, 0)};
      else if (what == "journal-formatted")
        r.lines.lines = {salesLine("55", "journal.txt-", -1, 10)};
      else if (what == "internal-totals")
        r.lines.lines = {salesLine("60", "totals.txt-", -1, 0)};
      else if (what == "expansion-totals")
        r.lines.lines = {salesLine("54", "exptotals.txt-", -1, 0)};
      else if (what == "expansion-totals-clear")
        r.lines.lines = {salesLine("53")};
      else
        bad("download",
            "must be one of journal-hex, journal-formatted, internal-totals, expansion-totals, "
            "expansion-totals-clear");
    } else if (r.kind == kindName(JobKind::Status)) {
      onlyKeys(body, "", {"kind"});
    } else {
      bad("kind", "must be lines, download or status (receipts go to POST .../receipts)");
    }
  } catch (const Bad& b) {
    r.lines.lines.clear();
    r.lines.error = b.v;
  }
  return r;
}

}  // namespace cassardd

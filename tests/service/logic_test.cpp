// The rules that decide money, as tables: receipt to sales lines, the request's faults,
// settlement from the register, the configuration's faults, the job's allowed moves.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "service/child.h"
#include "service/config.h"
#include "service/money.h"
#include "service/receipt.h"
#include "service/registers.h"
#include "service/settle.h"
#include "service/store.h"
#include "service/when.h"
#include "simulator/amount.h"

namespace cassardd {
namespace {

using nlohmann::json;

RegisterConfig cassa() {
  return {"cassa1",
          "/dev/ca300",
          "",
          {{"contanti", "10"}, {"carta", "20"}, {"credito", "11"}, {"ticket", "30"}}};
}

std::string L(std::string_view code, std::string_view d = "", long long a = -1, int n = -1) {
  return salesLine(code, d, a, n);
}

TEST(Receipt, IntoSalesLines) {
  struct Row {
    const char* legend;
    const char* body;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"weighed bread, cash with change and a text",
       R"({"operator": 3, "items": [{"description": "PANE", "price": 125, "quantity": 2.5, "department": 4,
           "return": false}], "payments": [{"method": "contanti", "amount": 500}], "texts": ["GRAZIE"],
           "fiscalReport": true})",
       {L("03", "", -1, 3), L("00", "", 2500), L("01", "PANE", 125, 4), L("12", "", 500), L("99"),
        L("DY", "GRAZIE", -1, 10)}},
      {"defaults: quantity 1, department 1, no operator",
       R"({"items": [{"description": "CAFFE", "price": 120}], "payments": [{"method": "credito"}]})",
       {L("01", "CAFFE", 120, 1), L("11"), L("99")}},
      {"a return, a Latin-1 description, two payments, the twin on the last only",
       R"({"items": [{"description": "CAFFÈ", "price": 100, "return": true}, {"description": "TÈ", "price": 300,
           "quantity": 0.5}], "payments": [{"method": "carta", "amount": 30}, {"method": "credito"}],
           "fiscalReport": true})",
       {L("02"), L("01", "CAFF\xC8", 100, 1), L("00", "", 500), L("01", "T\xC8", 300, 1),
        L("20", "", 30), L("13"), L("99")}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const Lines got = receiptLines(json::parse(r.body), cassa());
    ASSERT_FALSE(got.error) << got.error->field << ": " << got.error->message;
    EXPECT_EQ(got.lines, r.lines);
  }
  EXPECT_EQ(L("01", "PANE", 125, 4).size(), 48u) << "a standard line without its line end";
}

TEST(Receipt, EveryFaultNamesItsField) {
  const std::string item = R"({"description": "PANE", "price": 125})";
  const std::string pay = R"([{"method": "contanti", "amount": 125}])";
  auto body = [&](const std::string& items, const std::string& payments = "",
                  const std::string& extra = "") {
    return R"({"items": )" + items + R"(, "payments": )" + (payments.empty() ? pay : payments) +
           extra + "}";
  };
  struct Row {
    std::string body, code, field;
  };
  const Row rows[] = {
      {"[]", "invalid", ""},
      {body("[" + item + "]", "", R"(, "colour": 1)"), "unknown_field", "colour"},
      {body(R"([{"description": "PANE", "price": 125, "vat": 4}])"), "unknown_field",
       "items[0].vat"},
      {body("[" + item + R"(, {"description": "X", "price": 1.5}])"), "invalid", "items[1].price"},
      {body(R"([{"description": "X", "price": "125"}])"), "invalid", "items[0].price"},
      {body(R"([{"description": "X", "price": 0}])"), "invalid", "items[0].price"},
      {body(R"([{"description": "X", "price": 1000000000}])"), "invalid", "items[0].price"},
      {body(R"([{"price": 1}])"), "invalid", "items[0].description"},
      {body(R"([{"description": "", "price": 1}])"), "invalid", "items[0].description"},
      {body(R"([{"description": "123456789012345678901234567890123456", "price": 1}])"), "invalid",
       "items[0].description"},
      {body(R"([{"description": "€URO", "price": 1}])"), "invalid", "items[0].description"},
      {body(R"([{"description": "A\nB", "price": 1}])"), "invalid", "items[0].description"},
      {body(R"([{"description": "X", "price": 1, "quantity": 0.0005}])"), "invalid",
       "items[0].quantity"},
      {body(R"([{"description": "X", "price": 1, "quantity": 0}])"), "invalid",
       "items[0].quantity"},
      {body(R"([{"description": "X", "price": 1, "department": 31}])"), "invalid",
       "items[0].department"},
      {body(R"([{"description": "X", "price": 1, "return": "no"}])"), "invalid", "items[0].return"},
      {body("[" + item + "]", R"([{"method": "bitcoin", "amount": 1}])"), "invalid",
       "payments[0].method"},
      {body("[" + item + "]", R"([{"method": "carta"}])"), "invalid", "payments[0].amount"},
      {body("[" + item + "]", R"([{"method": "credito", "amount": 5}])"), "invalid",
       "payments[0].amount"},
      {body("[" + item + "]", R"([{"method": "contanti", "amount": 100}])"), "invalid", "payments"},
      {body("[" + item + "]", R"([{"method": "ticket", "amount": 125}])",
            R"(, "fiscalReport": true)"),
       "invalid", "payments[0].method"},
      {body("[" + item + "]", "", R"(, "operator": 16)"), "invalid", "operator"},
      {body("[" + item + "]", "", R"(, "texts": ["12345678901234567"])"), "invalid", "texts[0]"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.body);
    const Lines got = receiptLines(json::parse(r.body), cassa());
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->code, r.code);
    EXPECT_EQ(got.error->field, r.field) << got.error->message;
    EXPECT_TRUE(got.lines.empty());
  }
}

TEST(Money, LineAmountIsTheRegistersOwn) {
  // Fixed seed: a failure names a pair that fails again. Every fourth pair is an exact
  // half cent (odd price x an odd number of half units), where rounding down, to even or
  // toward zero would part from the register.
  std::mt19937_64 rng(20261207);
  std::uniform_int_distribution<long long> anyPrice(1, money::kMostAmount), smallPrice(1, 5000),
      anyQty(money::kLeastQuantity, money::kMostQuantity), smallQty(1, 20000), odd(0, 4999);
  int halves = 0;
  for (int i = 0; i < 10000; ++i) {
    long long price = i % 2 ? anyPrice(rng) : smallPrice(rng);
    long long milli = i % 3 ? anyQty(rng) : smallQty(rng);
    if (i % 4 == 0) {
      price |= 1;
      milli = 500 * (2 * odd(rng) + 1);
    }
    halves += price * milli % 1000 == 500;
    ASSERT_EQ(money::lineAmount(price, milli), ecrsim::lineAmount(price, milli))
        << price << " x " << milli << " thousandths";
  }
  EXPECT_GE(halves, 2500);
  EXPECT_EQ(money::lineAmount(125, 2500), 313) << "125 x 2.5 = 312.5";
  EXPECT_EQ(money::lineAmount(money::kMostAmount, money::kMostQuantity), 99999998900000LL);
}

TEST(Money, ReceiptsTheRegisterWouldRefuseAreRefused) {
  RegisterConfig reg = cassa();
  reg.maxTotal = 100000;
  auto item = [](const std::string& price, const std::string& extra = "") {
    return R"({"description": "X", "price": )" + price + extra + "}";
  };
  auto body = [](const std::string& items, const std::string& payments) {
    return R"({"items": [)" + items + R"(], "payments": [)" + payments + "]}";
  };
  const std::string pane = item("125", R"(, "quantity": 2.5)");  // 312.5 -> 313
  struct Row {
    std::string legend, body;
    std::string field;  // refused naming it; empty: accepted
    long long total = 0, change = 0;
    std::vector<std::string> payLines = {};  // the payment lines, when they tell something
  };
  const Row rows[] = {
      {"weighed goods by card, half up", body(pane, R"({"method": "carta", "amount": 313})"), "",
       313, 0},
      {"a cent short", body(pane, R"({"method": "carta", "amount": 312})"), "payments"},
      {"a card paying more than is due", body(pane, R"({"method": "carta", "amount": 314})"),
       "payments[0].amount"},
      {"cash gives change", body(pane, R"({"method": "contanti", "amount": 500})"), "", 313, 187},
      {"change only on the method that gives it",
       body(pane, R"({"method": "contanti", "amount": 200}, {"method": "carta", "amount": 200})"),
       "payments[1].amount"},
      // clang-format off
      {"the rest by cash after a card",
       body(pane, R"({"method": "carta", "amount": 100}, {"method": "contanti"})"), "", 313, 0,
       {L("20", "", 100), L("11")}},
      {"the rest by a rest-only method", body(pane, R"({"method": "credito"})"), "", 313, 0,
       {L("11")}},
      // clang-format on
      {"the rest, then another payment",
       body(pane, R"({"method": "contanti"}, {"method": "carta", "amount": 1})"),
       "payments[0].amount"},
      {"the rest on a method without a rest record", body(pane, R"({"method": "carta"})"),
       "payments[0].amount"},
      {"a payment after the total",
       body(pane, R"({"method": "carta", "amount": 313}, {"method": "contanti", "amount": 1})"),
       "payments[1]"},
      {"returns only", body(item("100", R"(, "return": true)"), R"({"method": "contanti"})"),
       "total"},
      {"a total of 0",
       body(item("100") + "," + item("100", R"(, "return": true)"), R"({"method": "contanti"})"),
       "total"},
      {"a return rounds half up too: 1000 - 313",
       body(item("1000") + "," + item("125", R"(, "quantity": 2.5, "return": true)"),
            R"({"method": "carta", "amount": 687})"),
       "", 687, 0},
      {"half a cent is a cent", body(item("1", R"(, "quantity": 0.5)"), R"({"method": "credito"})"),
       "", 1, 0},
      {"a line of 0 cents", body(item("1", R"(, "quantity": 0.499)"), R"({"method": "credito"})"),
       "items[0].quantity"},
      {"1e-10 is no quantity",
       body(item("1", R"(, "quantity": 1e-10)"), R"({"method": "credito"})"), "items[0].quantity"},
      {"a fourth decimal", body(item("100", R"(, "quantity": 2.0005)"), R"({"method": "credito"})"),
       "items[0].quantity"},
      {"the most quantity",
       body(item("1", R"(, "quantity": 99999.999)"), R"({"method": "credito"})"), "", 100000, 0},
      {"beyond it", body(item("1", R"(, "quantity": 100000)"), R"({"method": "credito"})"),
       "items[0].quantity"},
      {"max_total exactly", body(item("100000"), R"({"method": "credito"})"), "", 100000, 0},
      {"above max_total", body(item("100001"), R"({"method": "credito"})"), "total"},
      {"the sum above max_total",
       body(item("60000") + "," + item("40001"), R"({"method": "credito"})"), "total"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const Lines got = receiptLines(json::parse(r.body), reg);
    if (!r.field.empty()) {
      ASSERT_TRUE(got.error) << "accepted";
      EXPECT_EQ(got.error->field, r.field) << got.error->message;
      EXPECT_EQ(got.error->code, "invalid");
      EXPECT_TRUE(got.lines.empty());
      EXPECT_FALSE(got.total);
      continue;
    }
    ASSERT_FALSE(got.error) << got.error->field << ": " << got.error->message;
    EXPECT_EQ(got.total, r.total);
    EXPECT_EQ(got.change, r.change);
    if (!r.payLines.empty()) {
      ASSERT_GE(got.lines.size(), r.payLines.size() + 1);
      const std::vector<std::string> pays(got.lines.end() - 1 - r.payLines.size(),
                                          got.lines.end() - 1);
      EXPECT_EQ(pays, r.payLines);
    }
  }
}

TEST(Money, NumbersOutOfRangeNameTheirField) {
  struct Row {
    std::string text, code, field;
  };
  const Row rows[] = {
      {R"({"items": [{"description": "X", "price": 1e400}]})", "bad_json", "items[0].price"},
      {R"({"items": [{"price": 1, "q": [1, 2]}, {"quantity": -1e400}]})", "bad_json",
       "items[1].quantity"},
      {R"([[1], [2, {"a": 3}, 1E999]])", "bad_json", "[1][2]"},
      {"1e400", "bad_json", ""},
      {R"({"items": [)", "bad_json", ""},
      {R"({"items": [{"price": 99999999999999999999}]})", "", ""},  // a double, not an overflow
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const Parsed got = parseRequest(r.text);
    if (r.code.empty()) {
      EXPECT_FALSE(got.error);
      continue;
    }
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->code, r.code);
    EXPECT_EQ(got.error->field, r.field) << got.error->message;
  }
}

TEST(JobRequest, LinesDownloadsStatus) {
  struct Row {
    const char* body;
    std::vector<std::string> lines;
    const char* errorField;  // nullptr: accepted
    const char* says = "";   // in the refusal's message
  };
  const Row rows[] = {
      {R"({"kind": "lines", "lines": ["11", "99"]})", {"11", "99"}, nullptr},
      {R"({"kind": "download", "download": "journal-formatted"})",
       {L("55", "journal.txt-", -1, 10)},
       nullptr},
      {R"({"kind": "download", "download": "expansion-totals-clear"})", {L("53")}, nullptr},
      {R"({"kind": "status"})", {}, nullptr},
      {R"({"kind": "status", "x": 1})", {}, "x"},
      {R"({"kind": "receipt"})", {}, "kind"},
      {R"({"lines": ["11"]})", {}, "kind"},
      {R"({"kind": "lines", "lines": ["11\n99"]})", {}, "lines[0]"},
      {R"({"kind": "lines", "lines": []})", {}, "lines"},
      {R"({"kind": "download", "download": "everything"})", {}, "download"},
      // Held to cassard --check: what the driver would key, cut or send as other bytes.
      {R"({"kind": "lines", "lines": ["11", "01PANE                               0000,300001"]})",
       {},
       "lines[1]",
       "line 2, column 42: amount column \"0000,3000\" is not digits"},
      {R"({"kind": "lines", "lines": ["04"]})", {}, "lines[0]", "inside the description column"},
      {R"({"kind": "lines", "lines": ["99", "xx", "55../x-"]})", {}, "lines[1]", "2 more findings"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.body);
    const JobRequest got = jobRequestLines(json::parse(r.body));
    if (r.errorField) {
      ASSERT_TRUE(got.lines.error);
      EXPECT_EQ(got.lines.error->field, r.errorField);
      EXPECT_NE(got.lines.error->message.find(r.says), std::string::npos)
          << got.lines.error->message;
    } else {
      ASSERT_FALSE(got.lines.error) << got.lines.error->message;
      EXPECT_EQ(got.lines.lines, r.lines);
    }
  }
  // 254 bytes in Latin-1, where è is one: 255 in UTF-8.
  const std::string longLine =
      "01CAFF\xC3\xA8" + std::string(30, ' ') + "00000012001" + std::string(206, ' ');
  EXPECT_FALSE(jobRequestLines({{"kind", "lines"}, {"lines", {longLine}}}).lines.error);
  EXPECT_TRUE(jobRequestLines({{"kind", "lines"}, {"lines", {longLine + " "}}}).lines.error);
}

RegisterStatus st(const char* counter, bool open = false, const char* serial = "72MX001234") {
  return {"2AX 0130", "2", serial, "2009-12-31T23:59:58", counter, open};
}

// A receipt's lines: operator, a quantity and two items, two payments, 99, a text row.
const std::vector<std::string> kSale = {L("03"), L("00"), L("01"), L("01"),
                                        L("20"), L("10"), L("99"), L("DY")};
Delivery ran(std::optional<int> exit, std::optional<int> failedLine = std::nullopt) {
  return deliveryOf(kSale, exit, failedLine);
}

TEST(Settle, FromTheRegistersCounterAndOpenSale) {
  struct Row {
    const char* legend;
    RegisterStatus before;
    std::optional<int> exit;
    std::optional<RegisterStatus> after;
    JobState state;
    std::optional<std::string> receipt;
    bool hold;
    std::optional<int> failedLine = std::nullopt;
  };
  const Row rows[] = {
      {"completed", st("0123"), 0, st("0124"), JobState::Done, "0124", false},
      {"failed after the payment: printed all the same", st("0123"), 32, st("0124"), JobState::Done,
       "0124", false, 7},
      {"refused at the text row", st("0123"), 18, st("0124"), JobState::Done, "0124", false, 8},
      {"failed at the last payment", st("0123"), 17, st("0124"), JobState::Attention, {}, false, 6},
      {"lost at the second item", st("0123"), 32, st("0124"), JobState::Attention, {}, false, 4},
      {"failed before its first line", st("0123"), 32, st("0124"), JobState::Attention, {}, false},
      {"refused before the payment", st("0123"), 18, st("0123"), JobState::Failed, {}, false, 4},
      {"service stopped, nothing printed", st("0123"), {}, st("0123"), JobState::Failed, {}, false},
      {"service stopped, printed", st("0123"), {}, st("0124"), JobState::Attention, {}, false},
      {"the counter wraps to 0001", st("9999"), 0, st("0001"), JobState::Done, "0001", false},
      {"the counter wraps to 0000", st("9999"), 0, st("0000"), JobState::Done, "0000", false},
      {"something else used the register",
       st("0123"),
       0,
       st("0125"),
       JobState::Attention,
       {},
       false},
      {"the counter went back", st("0123"), 0, st("0122"), JobState::Attention, {}, false},
      {"a sale left open", st("0123"), 99, st("0123", true), JobState::Attention, {}, true},
      {"completed without a receipt", st("0123"), 0, st("0123"), JobState::Attention, {}, false},
      {"a counter that is no number", st("0123"), 0, st("01:4"), JobState::Attention, {}, false},
      {"another register on the line",
       st("0123"),
       0,
       st("0124", false, "99XY000001"),
       JobState::Attention,
       {},
       true},
      {"the register cannot be read", st("0123"), 2, {}, JobState::Uncertain, {}, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const Outcome o = settleReceipt(r.before, r.exit, r.after, ran(r.exit, r.failedLine));
    EXPECT_EQ(stateName(o.state), stateName(r.state)) << o.reason;
    EXPECT_EQ(o.receiptNumber, r.receipt);
    EXPECT_EQ(o.hold, r.hold);
    EXPECT_FALSE(o.reason.empty());
  }
  // Every outcome carries its code and the parameters a page words it with.
  const std::tuple<Outcome, const char*, json> codes[] = {
      {settleReceipt(st("0123"), 0, st("0124"), ran(0)), "fiscalised", {{"receiptNumber", "0124"}}},
      {settleReceipt(st("0123"), 18, st("0123"), ran(18)), "not_fiscalised", json::object()},
      {settleReceipt(st("0123"), 0, st("0123"), ran(0)), "no_advance", json::object()},
      {settleReceipt(st("0123"), 0, st("0126"), ran(0)),
       "counter_jumped",
       {{"by", 3}, {"before", "0123"}, {"after", "0126"}}},
      {settleReceipt(st("0123"), 0, st("0124", false, "99XY000001"), ran(0)),
       "different_register",
       {{"serial", "99XY000001"}, {"serialBefore", "72MX001234"}}},
      {settleReceipt(st("0123"), 99, st("0123", true), ran(99)), "sale_left_open", json::object()},
      {settleReceipt(st("0123"), 2, std::nullopt, ran(2)), "unread_after", json::object()},
      {settleReceipt(st("0123"), 32, st("0124"), ran(32, 3)),
       "closed_elsewhere",
       {{"linesDelivered", 2}, {"linesTotal", 8}}},
      {settleLines(18, st("0130"), 4), "lines_failed", {{"line", 4}}},
      {settleLines({}, st("0130")), "lines_unknown", json::object()},
  };
  for (const auto& [o, code, params] : codes) {
    EXPECT_EQ(o.reasonCode, code);
    EXPECT_EQ(o.reasonParams, params) << code;
  }
  EXPECT_EQ(settleLines(0, st("0130")).state, JobState::Done);
  EXPECT_EQ(settleLines(18, st("0130")).state, JobState::Failed);
  EXPECT_EQ(settleLines({}, st("0130")).state, JobState::Attention);
  EXPECT_TRUE(settleLines(0, st("0130", true)).hold);
  EXPECT_EQ(settleLines(0, std::nullopt).state, JobState::Uncertain);
  EXPECT_EQ(settleLines(0, st("0130"), {}, st("0129")).receiptNumber, "0130");
  EXPECT_EQ(settleLines(0, st("0131"), {}, st("0129")).receiptNumber, std::nullopt);
  EXPECT_EQ(settleLines(18, st("0130"), 3, st("0129")).receiptNumber, std::nullopt);
}

// At resume only the held receipt's own counter and the open sale decide.
TEST(Settle, AtResumeTheReadingDecidesOrLeavesItToAPerson) {
  struct Row {
    const char* legend;
    RegisterStatus before, now;
    std::optional<JobState> state;
    const char* code;
    Delivery delivery = ran(32, 5);  // every item went, not the payments
  };
  const Row rows[] = {
      {"finished on the register", st("0123"), st("0124"), JobState::Done, "completed_on_register"},
      {"finished across the wrap", st("9999"), st("0001"), JobState::Done, "completed_on_register"},
      {"cancelled on the register", st("0123"), st("0123"), JobState::Failed,
       "cancelled_on_register"},
      {"two receipts since: which one is not known", st("0123"), st("0125"), {}, ""},
      {"still open", st("0123"), st("0123", true), {}, ""},
      {"another register", st("0123"), st("0124", false, "99XY000001"), {}, ""},
      {"a counter that is no number", st("0123"), st("01:4"), {}, ""},
      {"a sale with its first item only, paid by hand", st("0123"), st("0124"), JobState::Attention,
       "partial_on_register", ran(32, 4)},
      {"a sale with no line of the run, paid by hand", st("0123"), st("0124"), JobState::Attention,
       "partial_on_register", ran(17)},
      {"a partial sale cancelled", st("0123"), st("0123"), JobState::Failed,
       "cancelled_on_register", ran(32, 4)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const auto o = settleAtResume(r.before, r.now, r.delivery);
    ASSERT_EQ(o.has_value(), r.state.has_value());
    if (!o) continue;
    EXPECT_EQ(stateName(o->state), stateName(*r.state));
    EXPECT_EQ(o->reasonCode, r.code);
    EXPECT_EQ(o->receiptNumber,
              o->state == JobState::Done ? std::optional(r.now.receiptNumber) : std::nullopt);
  }
}

TEST(Settle, OnlyTheListedMoves) {
  const JobState all[] = {JobState::Queued, JobState::Running,   JobState::Done,
                          JobState::Failed, JobState::Uncertain, JobState::Attention};
  int allowed = 0;
  for (JobState from : all)
    for (JobState to : all) {
      allowed += allowedMove(from, to);
      if (isFinal(from)) {
        EXPECT_FALSE(allowedMove(from, to)) << "a final state stays";
      }
      if (to == JobState::Running) {
        EXPECT_EQ(allowedMove(from, to), from == JobState::Queued) << "runs once";
      }
      if (to == JobState::Queued) {
        EXPECT_EQ(allowedMove(from, to), from == JobState::Running || from == JobState::Uncertain)
            << "back in the queue only from a run that sent nothing";
      }
    }
  EXPECT_EQ(allowed, 14);
  EXPECT_FALSE(isFinal(JobState::Attention)) << "a person or a resume still settles it";
}

TEST(Config, EveryErrorNamesItsKey) {
  const std::string reg = "\n[registers.cassa1]\ndevice = \"/dev/ca300\"\n";
  struct Row {
    std::string text, error;
  };
  const Row rows[] = {
      {"listen = \"127.0.0.1\"" + reg, "listen: must be HOST:PORT"},
      {"listen = \"localhost:80\"" + reg, "listen: the host must be an IP address"},
      {"listen = \"127.0.0.1:70000\"" + reg, "listen: the port"},
      {"listen = \"0.0.0.0:8765\"" + reg, "token: required when listen is not a loopback address"},
      {"job_timeout_s = 0" + reg, "job_timeout_s: must be between 1 and 86400"},
      {"job_timeout_s = \"5\"" + reg, "job_timeout_s: must be an integer"},
      {"colour = 1" + reg, "colour: unknown key"},
      {"origins = [\"till.local\"]" + reg, "origins[0]: an origin is"},
      {"origins = [\"http://a.example\", \"https://till.example.com/pos\"]" + reg,
       "origins[1]: \"https://till.example.com/pos\" has a path"},
      {"origins = [\"https://till.example.com//\"]" + reg,
       "origins[0]: \"https://till.example.com//\" has a path"},
      {"origins = [\"https://till.example.com?x=1\"]" + reg,
       "origins[0]: \"https://till.example.com?x=1\" has a path or query"},
      {"origins = [\"https://me@till.example.com\"]" + reg,
       "origins[0]: \"https://me@till.example.com\" has a user name"},
      {"origins = [\"https://till.example.com:0\"]" + reg,
       "origins[0]: \"https://till.example.com:0\": the port"},
      {"origins = [\"https://\"]" + reg, "origins[0]: \"https://\" has no host"},
      {"origins = [\"*\"]" + reg, "origins[0]: an origin is"},
      {"listen = \"0.0.0.0:8765\"\ntoken = \"t\"" + reg,
       "listen: 0.0.0.0 is not a loopback address: give tls_cert and tls_key"},
      {"tls_cert = \"/etc/c.pem\"" + reg, "tls_key: required with tls_cert"},
      {"tls_key = \"/etc/k.pem\"" + reg, "tls_cert: required with tls_key"},
      {"insecure_lan = \"yes\"" + reg, "insecure_lan: must be true or false"},
      {"state_dir = \"/x\"", "registers: no register configured"},
      {"[registers.cassa1]\nsettings = \"9600,N,8,1\"", "registers.cassa1.device: missing"},
      {"[registers.\"a/b\"]\ndevice = \"/dev/x\"", "registers.a/b: a register's name"},
      {reg + "payments = { contanti = \"12\" }",
       "registers.cassa1.payments.contanti: \"12\" is not one of"},
      {reg + "payments = { contanti = 10 }",
       "registers.cassa1.payments.contanti: must be a record code"},
      {reg + "baud = 9600", "registers.cassa1.baud: unknown key"},
      {reg + "settle_limit_s = 0", "registers.cassa1.settle_limit_s: must be between 1 and"},
      {reg + "queue_limit_s = \"2m\"", "registers.cassa1.queue_limit_s: must be an integer"},
      {"listen = ", "cassardd.toml:1: "},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    try {
      parseConfig(r.text, "cassardd.toml");
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(r.error, 0), 0u) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line";
    }
  }
  const Config c = parseConfig(
      "listen = \"127.0.0.1:0\"\n[registers.zeta]\ndevice = \"/dev/a\"\n[registers.alfa]\ndevice = "
      "\"/dev/b\"\n",
      "t");
  ASSERT_EQ(c.registers.size(), 2u);
  EXPECT_EQ(c.registers[0].name, "zeta") << "the file's order";
  EXPECT_EQ(c.listenPort, 0);

  // Origins as a browser sends them, whatever the way they were written.
  const std::pair<std::string, std::string> origins[] = {
      {"https://till.example.com/", "https://till.example.com"},
      {"HTTPS://Till.Example.COM:8443", "https://till.example.com:8443"},
      {"https://till.example.com:443/", "https://till.example.com"},
      {"http://till.local:80", "http://till.local"},
      {"http://till.local:8080", "http://till.local:8080"},
      {"http://[::1]:8080/", "http://[::1]:8080"},
  };
  for (const auto& [written, sent] : origins)
    EXPECT_EQ(normaliseOrigin(written, "origins[0]"), sent) << written;
  const Config lan =
      parseConfig("listen = \"0.0.0.0:8765\"\ntoken = \"t\"\ninsecure_lan = true" + reg, "t");
  EXPECT_TRUE(lan.insecureLan);
  EXPECT_FALSE(lan.tls());
}

TEST(Config, PaymentMethodsInBothForms) {
  const std::string reg = "[registers.cassa1]\ndevice = \"/dev/ca300\"\n";
  struct Row {
    std::string payments;
    std::string error;  // the error's start; empty: accepted as below
    std::string record = "";
    bool amount = false, change = false;
    std::string rest = "";
  };
  const Row rows[] = {
      {R"(m = "10")", "", "10", true, true, "11"},
      {R"(m = "11")", "", "11", false, false, "11"},
      {R"(m = "20")", "", "20", true, false, ""},
      {R"(m = "35")", "", "35", false, false, "35"},
      {R"(m = { record = "10", change = false })", "", "10", true, false, "11"},
      {R"(m = { record = "10", change = true, rest = "11" })", "", "10", true, true, "11"},
      {R"(m = { record = "20", change = true })", "", "20", true, true, ""},
      {R"(m = { record = "35", rest = "35" })", "", "35", false, false, "35"},
      {R"(m = { change = true })", "registers.cassa1.payments.m.record: missing"},
      {R"(m = { record = "99" })", "registers.cassa1.payments.m.record: \"99\" is not one of"},
      {R"(m = { record = 10 })", "registers.cassa1.payments.m.record: must be a string"},
      {R"(m = { record = "20", rest = "11" })", "registers.cassa1.payments.m.rest: record 20 has"},
      {R"(m = { record = "10", rest = "35" })", "registers.cassa1.payments.m.rest: record 10 pays"},
      {R"(m = { record = "35", change = true })",
       "registers.cassa1.payments.m.change: record 35 takes no amount"},
      {R"(m = { record = "10", change = "yes" })", "registers.cassa1.payments.m.change: must be"},
      {R"(m = { record = "10", colour = 1 })", "registers.cassa1.payments.m.colour: unknown key"},
      {R"(m = ["10"])", "registers.cassa1.payments.m: must be a record code"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.payments);
    const std::string text = reg + "payments = { " + r.payments + " }\n";
    if (!r.error.empty()) {
      try {
        parseConfig(text, "t");
        ADD_FAILURE() << "accepted";
      } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(r.error, 0), 0u) << e.what();
      }
      continue;
    }
    const PaymentMethod got = parseConfig(text, "t").registers[0].payments.at("m");
    EXPECT_EQ(got.record, r.record);
    EXPECT_EQ(got.amount, r.amount);
    EXPECT_EQ(got.change, r.change);
    EXPECT_EQ(got.rest, r.rest);
  }
  // What the record table gives, as the register's JSON shows it.
  RegisterConfig c = cassa();
  c.payments["buono"] = "35";
  EXPECT_EQ(paymentsJson(c), json::parse(R"([
      {"method": "buono", "code": "35", "amount": false, "change": false, "rest": true},
      {"method": "carta", "code": "20", "amount": true, "change": false, "rest": false},
      {"method": "contanti", "code": "10", "amount": true, "change": true, "rest": true},
      {"method": "credito", "code": "11", "amount": false, "change": false, "rest": true},
      {"method": "ticket", "code": "30", "amount": true, "change": false, "rest": false}])"));
  EXPECT_EQ(parseConfig(reg + "max_total = 500\n", "t").registers[0].maxTotal, 500);
  EXPECT_EQ(parseConfig(reg, "t").registers[0].maxTotal, money::kDefaultMaxTotal);
}

TEST(Store, KeysNameOneJobAndMovesAreEnforced) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-store-" + std::to_string(getpid()) + ".db");
  {
    Store store(path.string());
    const auto a = store.create("cassa1", "k", "receipt", R"({"a":1})", {"99"});
    // What a key names before any prune: the API's refusal table (same key and body, another
    // body, another kind, another register); after a prune: the table of the next test.
    EXPECT_EQ(a.outcome, Store::Created::New);
    EXPECT_THROW(store.finish(a.job.id, JobState::Queued, JobState::Done, nullptr, {}, "", {}),
                 StoreError);
    store.start(a.job.id, st("0123"));
    EXPECT_THROW(store.start(a.job.id, st("0123")), StoreError) << "a job runs once";
  }
  Store again(path.string());
  const auto moved = again.recoverRunning();
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].state, JobState::Uncertain);
  EXPECT_EQ(moved[0].before->receiptNumber, "0123");
  EXPECT_EQ(again.integrityCheck(), "ok");
  for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + ext);
}

TEST(Store, PrunedKeysStayTakenAndIdsNeverRepeat) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-pruned-" + std::to_string(getpid()) + ".db");
  Store store(path.string());
  const auto a = store.create("cassa1", "k", "receipt", R"({"a":1})", {"01", "99"});
  store.start(a.job.id, std::nullopt);
  // cassard's failure line names a line of the file it read: one the job does not have
  // is not kept.
  const struct {
    int given;
    std::optional<int> kept;
  } lines[] = {{1, 1}, {2, 2}, {3, std::nullopt}, {0, std::nullopt}};
  for (const auto& l : lines) {
    const auto b =
        store.create("cassa1", "line" + std::to_string(l.given), "lines", "{}", {"01", "99"});
    store.start(b.job.id, std::nullopt);
    RunResult run;
    run.failedLine = l.given;
    EXPECT_EQ(
        store.finish(b.job.id, JobState::Running, JobState::Failed, &run, {}, "", {}).failedLine,
        l.kept)
        << l.given;
  }
  store.finish(a.job.id, JobState::Running, JobState::Done, nullptr, {}, "", "0042");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // ended before "now - 0 days"
  EXPECT_EQ(store.prune(0).size(), 5u);
  const struct {
    const char *reg, *key, *kind, *request;
    Store::Created outcome;
  } rows[] = {
      {"cassa1", "k", "receipt", R"({"a":1})", Store::Created::Same},
      {"cassa1", "k", "receipt", R"({"a":2})", Store::Created::Conflict},
      {"cassa1", "k", "lines", R"({"a":1})", Store::Created::Conflict},
      {"cassa2", "k", "receipt", R"({"a":1})", Store::Created::New},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.reg) + " " + r.kind + " " + r.request);
    const auto c = store.create(r.reg, r.key, r.kind, r.request, {"99"});
    EXPECT_EQ(c.outcome, r.outcome);
    if (r.outcome == Store::Created::New) {
      EXPECT_EQ(c.job.id, 6) << "above the pruned jobs' ids";
      continue;
    }
    ASSERT_TRUE(c.pruned);
    EXPECT_EQ(c.pruned->id, a.job.id);
    EXPECT_EQ(c.pruned->state, JobState::Done);
    EXPECT_EQ(c.pruned->receiptNumber, "0042");
  }
  // A directory the store never knew raises the mark; the pruned ones are told apart.
  store.raiseJobIdMark(40);
  EXPECT_EQ(store.create("cassa1", "next", "status", "{}", {}).job.id, 41);
  std::vector<int64_t> pruned;
  EXPECT_EQ(store.unknownJobs({1, 5, 6, 7, 41}, &pruned), (std::vector<int64_t>{7}));
  EXPECT_EQ(pruned, (std::vector<int64_t>{1, 5}));
  EXPECT_EQ(store.fault(), "");
  EXPECT_EQ(store.close(), "");
  for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + ext);
}

// A job in attention waits for a person however old it is: prune takes decided jobs only.
TEST(Store, PruneLeavesAJobInAttention) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-attention-" + std::to_string(getpid()) + ".db");
  Store store(path.string());
  std::vector<int64_t> ids;
  for (const JobState to : {JobState::Attention, JobState::Failed}) {
    const auto c = store.create("cassa1", std::string(stateName(to)), "receipt", "{}", {"99"});
    store.start(c.job.id, std::nullopt);
    store.finish(c.job.id, JobState::Running, to, nullptr, {}, "", {});
    ids.push_back(c.job.id);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // ended before "now - 0 days"
  EXPECT_EQ(store.prune(0), (std::vector<int64_t>{ids[1]}));
  EXPECT_EQ(store.get(ids[0])->state, JobState::Attention);
  EXPECT_EQ(store.close(), "");
  for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + ext);
}

TEST(Registers, EveryChangeToldIsPublishedOnceBeforeTheHubIsGone) {
  // Workers and tills tell the hub of changes faster than its thread writes them: a burst
  // is one event of what the register then shows, and what was told just before the hub
  // goes is still written.
  const auto path =
      std::filesystem::temp_directory_path() / ("cassardd-hub-" + std::to_string(getpid()) + ".db");
  Store store(path.string());
  Config cfg;
  cfg.stateDir = std::filesystem::temp_directory_path().string();
  RegisterConfig second = cassa();
  second.name = "cassa2";
  cfg.registers = {cassa(), second};
  {
    Registers hub(cfg, store);
    for (int i = 0; i < 200; ++i) hub.publish(i % 2 ? "cassa1" : "cassa2");
  }
  std::map<std::string, int> told;
  for (const Store::Event& e : store.eventsAfter(0)) {
    ASSERT_EQ(e.type, "register");
    const json reg = json::parse(e.data);
    EXPECT_EQ(reg["state"], "idle") << e.data;
    ++told[reg["name"].get<std::string>()];
  }
  EXPECT_EQ(told, (std::map<std::string, int>{{"cassa1", 1}, {"cassa2", 1}}));
  EXPECT_EQ(store.close(), "");
  for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + ext);
}

TEST(Store, ConcurrentWritersAllLandAndTheStoreClosesCleanly) {
  // HTTP threads create jobs while the workers move theirs and publish register events,
  // and a console reads on: every move lands, a statement kept for its next use holds no
  // reader's snapshot (the WAL is reused), and none is left to keep a connection open.
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-race-" + std::to_string(getpid()) + ".db");
  Store store(path.string());
  std::atomic<int> writing{4};
  std::thread reader([&store, &writing] {
    while (writing > 0) {
      store.find("cassa0", "0");  // one row of a statement that could give more
      store.eventsAfter(0, 1);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&store, &writing, t] {
      const std::string reg = "cassa" + std::to_string(t);
      for (int i = 0; i < 150; ++i) {
        const auto c = store.create(reg, std::to_string(i), "receipt", "{}", {"99"});
        store.start(c.job.id, std::nullopt);
        store.finish(c.job.id, JobState::Running, JobState::Done, nullptr, std::nullopt, "",
                     "0001");
        store.appendEvent("register", json{{"name", reg}});
      }
      --writing;
    });
  for (auto& t : threads) t.join();
  reader.join();
  EXPECT_EQ(store.count("cassa3", JobState::Done), 150);
  // Their 2,400 commits wrote some 7,000 pages: checkpointed as it passes 1,000 pages
  // (SQLite's own, in the commit), the WAL is reused and stays small.
  EXPECT_LT(std::filesystem::file_size(path.string() + "-wal"), 3 * 1000 * 4096);
  EXPECT_EQ(store.close(), "");
  for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + ext);
}

}  // namespace
}  // namespace cassardd

TEST(Worker, FailureLineGivesTheLineItFailedOn) {
  struct Row {
    const char* stderrText;
    int line;  // 0: no failure line
    const char* description;
  };
  const Row rows[] = {
      {"cassard: job.ECR:3: Errore in ReadData (exit 17)\n", 3, "Errore in ReadData"},
      {"cassard: cannot open /dev/ca300: No such file\ncassard: job.ECR:0: Impossibile aprire la "
       "porta seriale (exit 255)\n",
       0, "Impossibile aprire la porta seriale"},
      // A description that holds ":N: " of its own, as a signal's quotes the line's text.
      {"cassard: job.ECR:2: Interrotto dal segnale SIGTERM: riga 2 eseguita per intero, nessuna "
       "successiva: 01PANE:7: (exit 143)\n",
       2,
       "Interrotto dal segnale SIGTERM: riga 2 eseguita per intero, nessuna successiva: 01PANE:7:"},
      {"cassard: cannot open /dev/ca300: No such file\n", -1, ""},
      {"", -1, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.stderrText);
    const auto f = cassardd::parseFailureLine(r.stderrText);
    if (r.line < 0) {
      EXPECT_FALSE(f);
      continue;
    }
    ASSERT_TRUE(f);
    EXPECT_EQ(f->line, r.line);
    EXPECT_EQ(f->description, r.description);
  }
  // A run killed without its failure line: the line its last dump names, the first of its text.
  const std::string file = "01PANE   125\r\n10   125\n01PANE   125\n99\n";
  const std::string dump = "\nStart: 1\nUltimo comando: 01PANE   125\nDump del protocollo: ";
  EXPECT_EQ(cassardd::lastCommandLine(dump + "\nStart: 2\nUltimo comando: 10   125\nDump", file),
            2);
  EXPECT_EQ(cassardd::lastCommandLine(dump, file), 1);
  EXPECT_EQ(cassardd::lastCommandLine("\nUltimo comando: 99 \n", file), std::nullopt);
  EXPECT_EQ(cassardd::lastCommandLine("", file), std::nullopt);
}

TEST(Worker, WhyARegisterIsUnreadAsACode) {
  using cassardd::ChildEnd;
  auto exited = [](int status) {
    ChildEnd e;
    e.exitStatus = status;
    return e;
  };
  ChildEnd late = exited(143);
  late.timedOut = true;
  ChildEnd notStarted;
  notStarted.spawnError = "/usr/bin/cassard: No such file or directory";
  struct Row {
    const char* stderrText;
    ChildEnd end;
    const char* code;
  };
  const Row rows[] = {
      {"cassard: cannot open /dev/ca300: No such file or directory\n", exited(255),
       "device_missing"},
      {"cassard: cannot open /dev/ttyUSB0: No such device or address\n", exited(255),
       "device_missing"},
      {"cassard: cannot open /dev/ca300: Permission denied (owner root, group dialout, mode "
       "0660)\n",
       exited(255), "permission_denied"},
      {"cassard: cannot lock /dev/ca300: Resource temporarily unavailable\n", exited(255),
       "line_locked"},
      {"cassard: st.ECR:0: Errore in ReadData (exit 32)\n", exited(32), "no_answer"},
      {"", late, "no_answer"},
      {"cassard: st.ECR:0: Comando non accettato (exit 18)\n", exited(18), "other"},
      // A missing program is the service's own fault, not the line's.
      {"", notStarted, "other"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.stderrText);
    EXPECT_EQ(cassardd::unreadCode(r.stderrText, r.end), r.code);
  }
}

TEST(When, Rfc3339IntoUtcMilliseconds) {
  struct Row {
    const char* text;
    const char* utc;  // nullptr: refused
  };
  const Row rows[] = {
      {"2026-12-07T12:00:00Z", "2026-12-07T12:00:00.000Z"},
      {"2026-12-07T12:00:00.5+01:00", "2026-12-07T11:00:00.500Z"},
      {"2026-12-31T23:30:00.123456-01:00", "2027-01-01T00:30:00.123Z"},
      {"2028-02-29t00:00:00z", "2028-02-29T00:00:00.000Z"},
      {"2026-02-29T00:00:00Z", nullptr},
      {"2026-12-07 12:00:00Z", nullptr},
      {"2026-12-07T12:00:00", nullptr},
      {"2026-12-07T24:00:00Z", nullptr},
      {"2026-12-07T12:00:00.Z", nullptr},
      {"2026-12-07T12:00:00+0100", nullptr},
      {"2026-12-07T12:00:00Zjunk", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const auto ms = cassardd::parseRfc3339(r.text);
    ASSERT_EQ(ms.has_value(), r.utc != nullptr);
    if (ms) {
      EXPECT_EQ(cassardd::utcText(*ms), r.utc);
    }
  }
}

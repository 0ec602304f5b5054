// The rules that decide money, as tables: receipt to sales lines, the request's faults,
// settlement from the register, the configuration's faults, the job's allowed moves.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "service/child.h"
#include "service/config.h"
#include "service/receipt.h"
#include "service/registers.h"
#include "service/settle.h"
#include "service/store.h"
#include "service/when.h"

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
      {"the issue's example",
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
           "quantity": 0.001}], "payments": [{"method": "carta", "amount": 100}, {"method": "credito"}],
           "fiscalReport": true})",
       {L("02"), L("01", "CAFF\xC8", 100, 1), L("00", "", 1), L("01", "T\xC8", 300, 1),
        L("20", "", 100), L("13"), L("99")}},
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
      {body("[" + item + "]", R"([{"method": "contanti"}])"), "invalid", "payments[0].amount"},
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

TEST(JobRequest, LinesDownloadsStatus) {
  struct Row {
    const char* body;
    std::vector<std::string> lines;
    const char* errorField;  // nullptr: accepted
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
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.body);
    const JobRequest got = jobRequestLines(json::parse(r.body));
    if (r.errorField) {
      ASSERT_TRUE(got.lines.error);
      EXPECT_EQ(got.lines.error->field, r.errorField);
    } else {
      ASSERT_FALSE(got.lines.error) << got.lines.error->message;
      EXPECT_EQ(got.lines.lines, r.lines);
    }
  }
  const std::string longLine(254, 'x');
  EXPECT_FALSE(jobRequestLines({{"kind", "lines"}, {"lines", {longLine}}}).lines.error);
  EXPECT_TRUE(jobRequestLines({{"kind", "lines"}, {"lines", {longLine + "x"}}}).lines.error);
  EXPECT_FALSE(jobRequestLines({{"kind", "lines"}, {"lines", {std::string(127, 'x') + "\xC3\xA8"}}})
                   .lines.error)
      << "è is one byte in Latin-1";
}

RegisterStatus st(const char* counter, bool open = false, const char* serial = "72MX001234") {
  return {"2AX 0130", "2", serial, "2009-12-31T23:59:58", counter, open};
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
  };
  const Row rows[] = {
      {"completed", st("0123"), 0, st("0124"), JobState::Done, "0124", false},
      {"failed after the payment: printed all the same", st("0123"), 32, st("0124"), JobState::Done,
       "0124", false},
      {"refused before the payment", st("0123"), 18, st("0123"), JobState::Failed, {}, false},
      {"service stopped, nothing printed", st("0123"), {}, st("0123"), JobState::Failed, {}, false},
      {"service stopped, printed", st("0123"), {}, st("0124"), JobState::Done, "0124", false},
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
    const Outcome o = settleReceipt(r.before, r.exit, r.after);
    EXPECT_EQ(stateName(o.state), stateName(r.state)) << o.reason;
    EXPECT_EQ(o.receiptNumber, r.receipt);
    EXPECT_EQ(o.hold, r.hold);
    EXPECT_FALSE(o.reason.empty());
  }
  // Every outcome carries its code and the parameters a page words it with.
  const std::tuple<Outcome, const char*, json> codes[] = {
      {settleReceipt(st("0123"), 0, st("0124")), "fiscalised", {{"receiptNumber", "0124"}}},
      {settleReceipt(st("0123"), 18, st("0123")), "not_fiscalised", json::object()},
      {settleReceipt(st("0123"), 0, st("0123")), "no_advance", json::object()},
      {settleReceipt(st("0123"), 0, st("0126")),
       "counter_jumped",
       {{"by", 3}, {"before", "0123"}, {"after", "0126"}}},
      {settleReceipt(st("0123"), 0, st("0124", false, "99XY000001")),
       "different_register",
       {{"serial", "99XY000001"}, {"serialBefore", "72MX001234"}}},
      {settleReceipt(st("0123"), 99, st("0123", true)), "sale_left_open", json::object()},
      {settleReceipt(st("0123"), 2, std::nullopt), "unread_after", json::object()},
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
}

// At resume only the held receipt's own counter and the open sale decide.
TEST(Settle, AtResumeTheReadingDecidesOrLeavesItToAPerson) {
  struct Row {
    const char* legend;
    RegisterStatus before, now;
    std::optional<JobState> state;
    const char* code;
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
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const auto o = settleAtResume(r.before, r.now);
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
      if (isFinal(from)) EXPECT_FALSE(allowedMove(from, to)) << "a final state stays";
      if (to == JobState::Running)
        EXPECT_EQ(allowedMove(from, to), from == JobState::Queued) << "runs once";
      if (to == JobState::Queued)
        EXPECT_EQ(allowedMove(from, to), from == JobState::Running || from == JobState::Uncertain)
            << "back in the queue only from a run that sent nothing";
    }
  EXPECT_EQ(allowed, 13);
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
      {"state_dir = \"/x\"", "registers: no register configured"},
      {"[registers.cassa1]\nsettings = \"9600,N,8,1\"", "registers.cassa1.device: missing"},
      {"[registers.\"a/b\"]\ndevice = \"/dev/x\"", "registers.a/b: a register's name"},
      {reg + "payments = { contanti = \"12\" }",
       "registers.cassa1.payments.contanti: \"12\" is not one of"},
      {reg + "payments = { contanti = 10 }",
       "registers.cassa1.payments.contanti: must be a string"},
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
}

TEST(Store, KeysNameOneJobAndMovesAreEnforced) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-store-" + std::to_string(getpid()) + ".db");
  {
    Store store(path.string());
    const auto a = store.create("cassa1", "k", "receipt", R"({"a":1})", {"99"});
    EXPECT_EQ(a.outcome, Store::Created::New);
    EXPECT_EQ(store.create("cassa1", "k", "receipt", R"({"a":1})", {"99"}).outcome,
              Store::Created::Same);
    EXPECT_EQ(store.create("cassa1", "k", "receipt", R"({"a":2})", {"99"}).outcome,
              Store::Created::Conflict);
    EXPECT_EQ(store.create("cassa1", "k", "lines", R"({"a":1})", {"99"}).outcome,
              Store::Created::Conflict);
    EXPECT_EQ(store.create("cassa2", "k", "receipt", R"({"a":1})", {"99"}).outcome,
              Store::Created::New);
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

TEST(Store, ConcurrentWritersAllLandAndTheStoreClosesCleanly) {
  // HTTP threads create jobs while the workers move theirs and publish register events:
  // every move lands, and no statement is left unfinalized to keep a connection open.
  const auto path = std::filesystem::temp_directory_path() /
                    ("cassardd-race-" + std::to_string(getpid()) + ".db");
  Store store(path.string());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&store, t] {
      const std::string reg = "cassa" + std::to_string(t);
      for (int i = 0; i < 150; ++i) {
        const auto c = store.create(reg, std::to_string(i), "receipt", "{}", {"99"});
        store.start(c.job.id, std::nullopt);
        store.finish(c.job.id, JobState::Running, JobState::Done, nullptr, std::nullopt, "",
                     "0001");
        store.appendEvent("register", json{{"name", reg}});
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(store.count("cassa3", JobState::Done), 150);
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
    if (ms) EXPECT_EQ(cassardd::utcText(*ms), r.utc);
  }
}

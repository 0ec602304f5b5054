// Settlement against what a person does at the register: receipts rung up and sales opened
// by hand, a register that goes silent, receipts that wait too long.

#include <gtest/gtest.h>

#include <thread>

#include "service_rig.h"

namespace {

using namespace std::chrono_literals;
using svc::json;

// What the register printed: the descriptions of each receipt closed, oldest first.
std::vector<std::vector<std::string>> printed(svc::Service& s, int reg) {
  std::vector<std::vector<std::string>> out;
  const json all = s.control(reg, "receipts");
  for (const json& r : all["receipts"]) {
    std::vector<std::string> lines;
    for (const json& l : r["lines"]) lines.push_back(l["description"]);
    out.push_back(lines);
  }
  return out;
}

TEST(Settle, ASilentRegisterNeedsAPersonWithinItsLimit) {
  svc::Service s({.jobTimeout = 10, .control = true, .registerExtra = "settle_limit_s = 3\n"});
  ASSERT_EQ(s.waitRegister("cassa1", "idle")["errorCode"], nullptr);
  ASSERT_EQ(s.control(0, "fault dead@payment")["ok"], true);
  ASSERT_EQ(s.post("cassa1", "k", svc::receipt()).status, 201);
  // While it cannot be read the register shows unreachable, not a flicker of busy.
  std::vector<std::string> states;
  json job;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  do {
    const std::string st = s.get("/v1/registers/cassa1").body["state"];
    if (states.empty() || states.back() != st) states.push_back(st);
    job = s.get("/v1/jobs/1").body;
    std::this_thread::sleep_for(20ms);
  } while (job["state"] != "attention" && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(job["reasonCode"], "settle_limit") << job.dump();
  EXPECT_EQ(job["reasonParams"]["seconds"], 3);
  EXPECT_EQ(job["settledBy"], nullptr);
  const auto unreachable = std::find(states.begin(), states.end(), "unreachable");
  ASSERT_NE(unreachable, states.end());
  EXPECT_EQ(std::find(unreachable, states.end(), "busy"), states.end())
      << "busy again while unread: " << testing::PrintToString(states);
  const json held = s.waitRegister("cassa1", "held");
  EXPECT_EQ(held["held"]["jobId"], 1);
  EXPECT_EQ(held["attention"], 1);
  EXPECT_EQ(s.request("POST", "/v1/registers/cassa1/resume").status, 503) << "still silent";
  EXPECT_EQ(s.get("/v1/registers/cassa1").body["errorCode"], "no_answer");
  // The person finishes the sale at the register; the reading at resume settles it.
  ASSERT_EQ(s.control(0, "clear")["ok"], true);
  ASSERT_EQ(s.control(0, "pay")["ok"], true);
  EXPECT_EQ(s.request("POST", "/v1/registers/cassa1/resume").status, 200);
  job = s.get("/v1/jobs/1").body;
  EXPECT_EQ(job["state"], "done") << job.dump();
  EXPECT_EQ(job["reasonCode"], "completed_on_register");
  EXPECT_EQ(job["settledBy"], "register");
  EXPECT_EQ(job["receiptNumber"], "0124");
  EXPECT_EQ(s.get("/v1/registers/cassa1").body["attention"], 0);
  EXPECT_EQ(s.receiptsOnRoll(0), 1);
}

TEST(Settle, WhatAPersonSaysSettlesAJobInAttention) {
  svc::Service s({.jobTimeout = 2, .control = true, .registerExtra = "settle_limit_s = 1\n"});
  ASSERT_EQ(s.control(0, "fault dead@payment")["ok"], true);
  ASSERT_EQ(s.post("cassa1", "k", svc::receipt()).status, 201);
  ASSERT_EQ(s.waitJob(1, {"attention"}, 30s)["state"], "attention");
  const std::string path = "/v1/jobs/1/resolve";
  const svc::Reply r =
      s.request("POST", path, R"({"outcome": "done", "receiptNumber": "0124", "note": "visto"})");
  EXPECT_EQ(r.status, 200) << r.text;
  EXPECT_EQ(r.body["state"], "done");
  EXPECT_EQ(r.body["settledBy"], "person");
  EXPECT_EQ(r.body["reasonCode"], "resolved_done");
  EXPECT_EQ(r.body["receiptNumber"], "0124");
  EXPECT_EQ(r.body["note"], "visto");
  EXPECT_NE(r.body["endedAt"], nullptr);
  const svc::Reply again = s.request("POST", path, R"({"outcome": "failed"})");
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.body["error"]["code"], "not_attention");
  EXPECT_EQ(s.get("/v1/jobs/1").body["state"], "done") << "the first word stands";
}

TEST(Settle, QueuedReceiptsExpireOrAreCancelled) {
  svc::Service s({.control = true, .registerExtra = "queue_limit_s = 2\n"});
  // A sale open by hand holds the register: whatever is queued behind it waits.
  ASSERT_EQ(s.control(0, "sell 300")["ok"], true);
  json own = svc::receipt("MELE", 199);
  own["expiresAt"] = "2000-01-01T00:00:00+01:00";
  struct Row {
    const char* legend;
    json body;
    bool cancel;
    const char* reasonCode;
    const char* settledBy;
  };
  const Row rows[] = {
      {"the register's queue limit", svc::receipt("PANE", 125), false, "expired", "run"},
      {"its own expiresAt, long past", own, false, "expired", "run"},
      {"cancelled while queued", svc::receipt("LATTE", 129), true, "cancelled", "person"},
  };
  int key = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    const svc::Reply posted = s.post("cassa1", "k" + std::to_string(++key), r.body);
    ASSERT_EQ(posted.status, 201) << posted.text;
    const int64_t id = posted.body["id"];
    EXPECT_NE(posted.body["expiresAt"], nullptr);
    if (r.cancel) {
      const svc::Reply c = s.request("DELETE", "/v1/jobs/" + std::to_string(id));
      EXPECT_EQ(c.status, 200) << c.text;
      EXPECT_EQ(s.request("DELETE", "/v1/jobs/" + std::to_string(id)).body["error"]["code"],
                "not_queued");
    }
    const json job = s.waitJob(id, {"done", "failed", "attention"}, 10s);
    EXPECT_EQ(job["state"], "failed");
    EXPECT_EQ(job["reasonCode"], r.reasonCode);
    EXPECT_EQ(job["settledBy"], r.settledBy);
    EXPECT_EQ(job["startedAt"], nullptr) << "never sent";
  }
  EXPECT_EQ(s.get("/v1/registers/cassa1").body["state"], "held");
  ASSERT_EQ(s.control(0, "pay")["ok"], true);
  EXPECT_EQ(s.request("POST", "/v1/registers/cassa1/resume").status, 200);
  EXPECT_EQ(printed(s, 0), (std::vector<std::vector<std::string>>{{"A MANO"}}))
      << "only the person's own sale";
}

}  // namespace

namespace {

// One scene at the register, played step by step through cassardd:
//   ctl C        ecrsim's control command C, answered ok
//   keys C       a person's keys, pressed again while a run or a reading holds the line
//   refused C    a person's keys while the till's run holds the line: refused
//   byhand N     N receipts rung up and paid by hand
//   post, post3  a receipt of one item (3 lines), of three items (5 lines)
//   out          the job waits (uncertain) for the line to come back
//   open         the till's sale is open on the register, the run still on it
//   held CODE    the register is held, for CODE
//   queued       the job waits in the queue, the hold names no job of the till's
//   resume       a person resumes the register
//   status       a status job, failed: the register cannot be read
//   idle         the register shows idle within 10 s, nothing queued, up in /metrics
//   badlines     a lines job the driver would not take: refused naming its line
//   lines        a lines job that closes a receipt
void play(svc::Service& s, const std::string& step, int64_t& id) {
  const std::string word = step.substr(0, step.find(' '));
  const std::string arg = step.size() > word.size() ? step.substr(word.size() + 1) : "";
  json r;
  if (word == "ctl") {
    EXPECT_EQ(s.control(0, arg)["ok"], true) << step;
  } else if (word == "keys") {
    for (int i = 0; i < 200 && (r = s.control(0, arg)).value("heldByHost", false); ++i)
      std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r["ok"], true) << step << ": " << r.dump();
  } else if (word == "byhand") {
    for (int i = 0; i < std::stoi(arg); ++i) {
      play(s, "keys sell 100", id);
      play(s, "keys pay", id);
    }
  } else if (word == "refused") {
    EXPECT_EQ(s.control(0, arg)["heldByHost"], true) << step;
  } else if (word == "post" || word == "post3") {
    json body = svc::receipt();
    if (word == "post3") {
      body["items"].push_back({{"description", "LATTE"}, {"price", 129}});
      body["items"].push_back({{"description", "UOVA"}, {"price", 299}});
      body["payments"][0]["amount"] = 553;
    }
    id = s.post("cassa1", "k", body).body["id"];
  } else if (word == "out") {
    EXPECT_EQ(s.waitJob(id, {"uncertain"})["state"], "uncertain");
  } else if (word == "open") {
    for (int i = 0; i < 400 && s.control(0, "state")["saleOpen"] != true; ++i)
      std::this_thread::sleep_for(5ms);
  } else if (word == "held") {
    EXPECT_EQ(s.waitRegister("cassa1", "held")["held"]["reasonCode"], arg);
  } else if (word == "queued") {
    EXPECT_EQ(s.get("/v1/jobs/" + std::to_string(id)).body["state"], "queued");
    EXPECT_EQ(s.get("/v1/registers/cassa1").body["held"]["jobId"], nullptr);
  } else if (word == "resume") {
    const svc::Reply r = s.request("POST", "/v1/registers/cassa1/resume");
    EXPECT_EQ(r.status, 200) << r.text;
  } else if (word == "status") {
    id = s.postJob("cassa1", "st", {{"kind", "status"}}).body["id"];
    EXPECT_EQ(s.waitJob(id)["state"], "failed");
    s.waitRegister("cassa1", "unreachable");
  } else if (word == "idle") {
    const auto from = std::chrono::steady_clock::now();
    EXPECT_EQ(s.waitRegister("cassa1", "idle", 12s)["queued"], 0);
    EXPECT_LE(std::chrono::steady_clock::now() - from, 10s);
    EXPECT_NE(s.get("/metrics").text.find("cassardd_register_up{register=\"cassa1\"} 1"),
              std::string::npos);
  } else if (word == "badlines") {
    const std::string bad = "01PANE                               0000,300001";
    const svc::Reply r = s.postJob("cassa1", "bad", {{"kind", "lines"}, {"lines", {"11", bad}}});
    EXPECT_EQ(r.body["error"]["field"], "lines[1]") << r.text;
    EXPECT_NE(r.text.find("line 2, column 42"), std::string::npos) << r.text;
    EXPECT_EQ(s.get("/v1/registers/cassa1").body["queued"], 0);
  } else if (word == "lines") {
    const json lines = {"01CAFFE           00000012001", "11", "99"};
    id = s.postJob("cassa1", "good", {{"kind", "lines"}, {"lines", lines}}).body["id"];
  } else {
    ADD_FAILURE() << "no step " << step;
  }
}

}  // namespace

// Each edge of exactly once, played against ecrsim as a person at the register plays it:
// whose receipt a counter step is, what ends a hold, what the register prints.
TEST(Settle, APersonAtTheRegisterScenarios) {
  const std::vector<std::string> leftOpen = {"ctl fault hangup@sale:2", "post3", "out", "ctl plug",
                                             "held sale_left_open"};
  auto then = [](std::vector<std::string> a, std::vector<std::string> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* legend;
    std::vector<std::string> steps;
    const char *state, *code;  // of the last job posted
    int receipts;              // on the roll
    json fields;               // more of that job
  } rows[] = {
      // clang-format off
      {"a sale rung by hand while the line is out is never the till's done",
       {"ctl fault hangup@sale", "post", "out", "keys sell 300", "keys pay", "ctl plug"},
       "attention", "closed_elsewhere", 1,
       {{"reasonParams", {{"linesDelivered", 0}, {"linesTotal", 3}}}, {"receiptNumber", nullptr}}},
      {"a partial sale closed by hand stays attention at resume",
       then(leftOpen, {"keys pay", "resume"}), "attention", "partial_on_register", 1,
       {{"reasonParams", {{"linesDelivered", 1}, {"linesTotal", 5}}}}},
      {"the whole sale paid by hand is done at resume",
       {"ctl fault hangup@payment", "post3", "out", "ctl plug", "held sale_left_open", "keys pay",
        "resume"}, "done", "completed_on_register", 1, {{"receiptNumber", "0124"}}},
      {"a sale voided by hand is failed at resume",
       then(leftOpen, {"keys void", "resume"}), "failed", "cancelled_on_register", 0, {}},
      {"a register dead then cleared is idle within 10 s, no job queued",
       {"ctl fault dead", "status", "ctl clear", "idle"}, "failed", "run_failed", 0, {}},
      {"a person's sale closed by hand ends its hold; the receipt prints without resume",
       {"keys sell 200 CAFFE", "post", "held sale_open", "queued", "keys pay"}, "done", "fiscalised",
       2, {{"receiptNumber", "0125"}, {"settledBy", "run"}}},
      {"eleven receipts by hand a moment before: the reading is the run's own, never merged",
       {"byhand 11", "post"}, "done", "fiscalised", 12, {{"receiptNumber", "0135"}, {"settledBy", "run"}}},
      {"a bad lines job is refused naming its line; one that closed a receipt has its number",
       {"badlines", "lines"}, "done", "completed", 1, {{"receiptNumber", "0124"}}},
      {"keys pressed by hand during a run end it 21, nothing merged",
       {"ctl fault delay=1500@sale", "post", "open", "refused sell 100", "held sale_left_open",
        "keys void", "resume"}, "failed", "cancelled_on_register", 0, {{"exitStatus", 21}}},
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.legend);
    svc::Service s({.control = true});
    int64_t id = 0;
    for (const std::string& step : r.steps) play(s, step, id);
    const json job = s.waitJob(id);
    EXPECT_EQ(job["state"], r.state) << job.dump();
    EXPECT_EQ(job["reasonCode"], r.code);
    for (const auto& [field, value] : r.fields.items()) EXPECT_EQ(job[field], value) << field;
    EXPECT_EQ(s.receiptsOnRoll(0), r.receipts);
  }
}

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

TEST(Settle, TheReadingIsTheRunsOwn) {
  using Lines = std::vector<std::vector<std::string>>;
  struct Row {
    const char* legend;
    int byHand;     // receipts rung up by hand just before the till's
    bool openSale;  // a sale left open by hand when the till's receipt comes
    const char* number;
    Lines roll;
  };
  Lines elevenThenTheTills(11, {"A MANO"});
  elevenThenTheTills.push_back({"PANE"});
  const Row rows[] = {
      {"eleven receipts by hand a moment before", 11, false, "0136", elevenThenTheTills},
      {"a sale opened by hand: never merged", 0, true, "0126", {{"A MANO"}, {"PANE"}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.legend);
    svc::Service s({.control = true});
    ASSERT_EQ(s.post("cassa1", "warm", svc::receipt("CAFFE", 120)).status, 201);
    ASSERT_EQ(s.waitJob(1)["receiptNumber"], "0124");
    for (int i = 0; i < r.byHand; ++i) {
      ASSERT_EQ(s.control(0, "sell 100")["ok"], true);
      ASSERT_EQ(s.control(0, "pay")["ok"], true);
    }
    if (r.openSale) {
      ASSERT_EQ(s.control(0, "sell 250")["ok"], true);
    }
    const svc::Reply posted = s.post("cassa1", "k", svc::receipt());
    ASSERT_EQ(posted.status, 201);
    if (r.openSale) {
      // Nothing sent: the receipt waits in the queue, the register is held until a person
      // finishes the sale and resumes.
      const json held = s.waitRegister("cassa1", "held");
      EXPECT_EQ(held["held"]["reasonCode"], "sale_open");
      EXPECT_EQ(held["held"]["jobId"], nullptr);
      EXPECT_EQ(s.get("/v1/jobs/2").body["state"], "queued");
      EXPECT_EQ(s.request("POST", "/v1/registers/cassa1/resume").body["error"]["code"],
                "sale_open");
      ASSERT_EQ(s.control(0, "pay")["ok"], true);
      EXPECT_EQ(s.request("POST", "/v1/registers/cassa1/resume").status, 200);
    }
    const json job = s.waitJob(2);
    EXPECT_EQ(job["state"], "done") << job.dump();
    EXPECT_EQ(job["reasonCode"], "fiscalised");
    EXPECT_EQ(job["settledBy"], "run");
    EXPECT_EQ(job["receiptNumber"], r.number);
    Lines roll = printed(s, 0);
    roll.erase(roll.begin());  // the warm-up
    EXPECT_EQ(roll, r.roll);
  }
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

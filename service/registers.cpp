#include "service/registers.h"

#include <iostream>
#include <sstream>

#include "service/receipt.h"

namespace cassardd {

using nlohmann::json;

namespace {
constexpr double kBuckets[] = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};
}

Registers::Registers(const Config& cfg, Store& store) : cfg_(cfg), store_(store) {
  for (const RegisterConfig& r : cfg_.registers)
    workers_.push_back(std::make_unique<Worker>(cfg_, r, store_, *this));
  publisher_ = std::thread([this] { publishing(); });
}

Registers::~Registers() {
  {
    std::lock_guard lock(qm_);
    closing_ = true;
  }
  qcv_.notify_one();
  publisher_.join();
}

void Registers::start() {
  for (auto& w : workers_) w->start();
}

void Registers::stop(bool now) {
  // Every worker is told first, so that they stop together.
  std::vector<std::thread> stoppers;
  for (auto& w : workers_) stoppers.emplace_back([&w, now] { w->stop(now); });
  for (auto& t : stoppers) t.join();
}

void Registers::abandon() {
  for (auto& w : workers_) w->abandon();
}

Worker* Registers::find(const std::string& name) {
  for (auto& w : workers_)
    if (w->reg().name == name) return w.get();
  return nullptr;
}

json Registers::registerJson(const std::string& name) {
  Worker* w = find(name);
  if (!w) return nullptr;
  const RegisterRow row = store_.registerRow(name);
  const Worker::Runtime rt = w->runtime();
  // A register that cannot be read stays unreachable while the worker tries again: one
  // change shown per real change, not a flicker of busy with every try.
  const char* state = row.held         ? "held"
                      : rt.unreachable ? "unreachable"
                      : rt.busy        ? "busy"
                                       : "idle";
  json last = nullptr;
  if (row.lastStatus) {
    last = statusJson(*row.lastStatus);
    last["at"] = row.lastStatusAt.value_or("");
  }
  return {
      {"name", name},
      {"device", w->reg().device},
      {"state", state},
      {stateName(JobState::Queued), store_.count(name, JobState::Queued)},
      {"held", row.held
                   ? json{{"reason", row.held->reason},
                          {"reasonCode", row.held->reasonCode.empty() ? json(nullptr)
                                                                      : json(row.held->reasonCode)},
                          {"reasonParams", row.held->reasonParams},
                          {"jobId", row.held->jobId ? json(*row.held->jobId) : json(nullptr)}}
                   : json(nullptr)},
      {"lastStatus", last},
      {"lastError", rt.unreachable ? json(rt.lastError) : json(nullptr)},
      {"errorCode",
       rt.unreachable ? json(rt.errorCode.empty() ? "other" : rt.errorCode) : json(nullptr)},
      {stateName(JobState::Attention), store_.count(name, JobState::Attention)},
      {"payments", paymentsJson(w->reg())},
      {"queueLimitS", w->reg().queueLimitS}};
}

json Registers::allJson() {
  json a = json::array();
  for (auto& w : workers_) a.push_back(registerJson(w->reg().name));
  return a;
}

void Registers::jobQueued(const std::string& name) {
  if (Worker* w = find(name)) w->wake();
  publish(name);
}

void Registers::publish(const std::string& name) {
  {
    std::lock_guard lock(qm_);
    changed_.insert(name);
  }
  qcv_.notify_one();
}

void Registers::publishing() {
  std::unique_lock lock(qm_);
  for (;;) {
    qcv_.wait(lock, [this] { return closing_ || !changed_.empty(); });
    if (changed_.empty()) return;  // closing, and nothing left to tell
    const std::set<std::string> names = std::exchange(changed_, {});
    lock.unlock();
    for (const std::string& name : names) publishNow(name);
    lock.lock();
  }
}

void Registers::publishNow(const std::string& name) {
  try {
    std::string now = jsonText(registerJson(name));
    std::string& last = published_[name];
    if (now == last) return;
    store_.appendEvent("register", json::parse(now));
    last = now;
  } catch (const std::exception& e) {
    // What a register shows is told again with its next change; a job's moves are
    // never left to this. Nothing the publisher meets ends the service.
    std::cerr << "cassardd: register " << name << ": its change is not published: " << e.what()
              << std::endl;
  }
}

void Registers::observe(const std::string& reg, const std::string& kind, double seconds) {
  std::lock_guard lock(pm_);
  Histogram& h = durations_[{reg, kind}];
  if (h.buckets.empty()) h.buckets.assign(std::size(kBuckets), 0);
  for (std::size_t i = 0; i < std::size(kBuckets); ++i)
    if (seconds <= kBuckets[i]) ++h.buckets[i];
  ++h.count;
  h.sum += seconds;
}

std::string Registers::stuck() const {
  for (const auto& w : workers_)
    if (const auto late = w->overdue(); late.count() > 0)
      return "the worker of register " + w->reg().name + " has not moved on for " +
             std::to_string(late.count()) + " s past its bound";
  return "";
}

std::string Registers::metrics() {
  std::ostringstream out;
  out << "# HELP cassardd_jobs Jobs in the store by register and state.\n# TYPE cassardd_jobs "
         "gauge\n";
  const auto byState = store_.countByState();
  for (const RegisterConfig& r : cfg_.registers)
    for (const JobState st : allStates()) {
      const std::string_view s = stateName(st);
      int64_t n = 0;
      for (const auto& c : byState)
        if (c.reg == r.name && c.label == s) n = c.n;
      out << "cassardd_jobs{register=\"" << r.name << "\",state=\"" << s << "\"} " << n << "\n";
    }
  out << "# HELP cassardd_job_exit_total cassard runs of jobs in the store by exit status.\n"
         "# TYPE cassardd_job_exit_total counter\n";
  for (const auto& c : store_.countByExit())
    out << "cassardd_job_exit_total{register=\"" << c.reg << "\",exit_status=\"" << c.label
        << "\"} " << c.n << "\n";
  out << "# HELP cassardd_job_duration_seconds From the start of a job's run to its state after "
         "it.\n"
         "# TYPE cassardd_job_duration_seconds histogram\n";
  {
    std::lock_guard lock(pm_);
    for (const auto& [k, h] : durations_) {
      const std::string labels = "register=\"" + k.first + "\",kind=\"" + k.second + "\"";
      for (std::size_t i = 0; i < std::size(kBuckets); ++i)
        out << "cassardd_job_duration_seconds_bucket{" << labels << ",le=\"" << kBuckets[i]
            << "\"} " << h.buckets[i] << "\n";
      out << "cassardd_job_duration_seconds_bucket{" << labels << ",le=\"+Inf\"} " << h.count
          << "\n";
      out << "cassardd_job_duration_seconds_sum{" << labels << "} " << h.sum << "\n";
      out << "cassardd_job_duration_seconds_count{" << labels << "} " << h.count << "\n";
    }
  }
  out << "# HELP cassardd_register_up 1 when the last read of the register answered.\n"
         "# TYPE cassardd_register_up gauge\n";
  for (auto& w : workers_)
    out << "cassardd_register_up{register=\"" << w->reg().name << "\"} "
        << (w->runtime().unreachable ? 0 : 1) << "\n";
  out << "# HELP cassardd_register_held 1 while the register is held until resumed.\n"
         "# TYPE cassardd_register_held gauge\n";
  for (auto& w : workers_)
    out << "cassardd_register_held{register=\"" << w->reg().name << "\"} "
        << (store_.registerRow(w->reg().name).held ? 1 : 0) << "\n";
  out << "# HELP cassardd_queue_length Jobs queued for the register.\n# TYPE cassardd_queue_length "
         "gauge\n";
  for (auto& w : workers_)
    out << "cassardd_queue_length{register=\"" << w->reg().name << "\"} "
        << store_.count(w->reg().name, JobState::Queued) << "\n";
  // A full disk shows only in writes: reads go on answering while no job can be stored.
  const bool storeUp = store_.fault().empty();
  out << "# HELP cassardd_store_up 1 when the store can be read and written and is not damaged.\n"
         "# TYPE cassardd_store_up gauge\n"
      << "cassardd_store_up " << (storeUp ? 1 : 0) << "\n";
  out << "# HELP cassardd_healthy 1 when /healthz answers 200 (store sound, no worker stuck).\n"
         "# TYPE cassardd_healthy gauge\n"
      << "cassardd_healthy " << (storeUp && stuck().empty() ? 1 : 0) << "\n";
  return out.str();
}

}  // namespace cassardd

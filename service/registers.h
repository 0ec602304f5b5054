// The registers' hub: all the workers, the registers' JSON and their events, and the
// figures for /metrics.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/config.h"
#include "service/store.h"
#include "service/worker.h"

namespace cassardd {

// All the workers, the registers' JSON and their events, and the figures for /metrics.
class Registers : public WorkerEvents {
 public:
  Registers(const Config& cfg, Store& store);
  // Every register change asked for is published before the hub is gone.
  ~Registers();
  void start();
  void stop(bool now);
  void abandon();
  Worker* find(const std::string& name);
  nlohmann::json registerJson(const std::string& name);
  nlohmann::json allJson();
  void jobQueued(const std::string& name);
  // A register event when what it shows has changed. Told here, made on a thread of the
  // hub's own: the caller (a worker about to start a run, a till's POST) never waits for
  // the register's JSON or the event's write, and a burst of changes becomes one event
  // of what the register shows once it is made.
  void publish(const std::string& name) override;
  void observe(const std::string& reg, const std::string& kind, double seconds) override;
  std::string metrics();
  // A worker that is past its due time, said for a technician; empty when none is.
  std::string stuck() const;

 private:
  const Config& cfg_;
  Store& store_;
  std::vector<std::unique_ptr<Worker>> workers_;
  void publishNow(const std::string& name);
  void publishing();
  // The publisher's: what each register last showed, touched by its thread alone.
  std::map<std::string, std::string> published_;
  std::mutex qm_;  // the registers changed since the publisher last looked
  std::condition_variable qcv_;
  std::set<std::string> changed_;
  bool closing_ = false;
  std::thread publisher_;
  std::mutex pm_;  // the run durations below
  struct Histogram {
    std::vector<uint64_t> buckets;
    uint64_t count = 0;
    double sum = 0;
  };
  std::map<std::pair<std::string, std::string>, Histogram> durations_;
};

}  // namespace cassardd

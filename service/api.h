// The HTTP side: parse, call the store and the workers, answer. No business rules here.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "service/config.h"
#include "service/read_cache.h"
#include "service/registers.h"
#include "service/store.h"

namespace cassardd {

class HttpServer;

class Api {
 public:
  Api(const Config& cfg, Store& store, Registers& registers);
  ~Api();
  // Binds the listening socket; returns the port (the real one for port 0), or -1.
  int bind();
  // Serves until stop().
  bool serve();
  // True once serve() has started listening: only from then on does stop() reach it.
  bool listening() const;
  void stop();

 private:
  void routes();
  const Config& cfg_;
  Store& store_;
  Registers& registers_;
  std::unique_ptr<HttpServer> server_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> streams_{0};
  int port_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::string startedAt_;
  PageCache pages_;                            // GET /v1/jobs
  Recent disk_{std::chrono::seconds(3)};       // the state folder's size and free room
  Pacer pace_{std::chrono::milliseconds(20)};  // GET /v1/jobs and /v1/service, one at a time
};

}  // namespace cassardd

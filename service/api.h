// The HTTP side: parse, call the store and the workers, answer. No business rules here.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "service/config.h"
#include "service/read_cache.h"
#include "service/registers.h"
#include "service/store.h"

namespace cassardd {

namespace http {
class Server;
struct Request;
struct Response;
}  // namespace http

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
  using Request = http::Request;
  using Response = http::Response;

  // Every route, in the order they are tried (api.cpp): the guards, then each resource's.
  void routes();
  // api.cpp: the Host, the Origin and the token, before any route; the body's depth; the
  // answers to what no route served or a route threw.
  void guards();
  bool refusedHost(const Request& req, Response& res);
  bool refusedOrigin(const Request& req, Response& res, bool api, bool& listed);
  bool refusedToken(const Request& req, Response& res, bool api);
  void fallbacks();
  // routes_service.cpp: /healthz, /metrics, /v1/openapi.json, /v1/service.
  void serviceRoutes();
  void getService(const Request& req, Response& res);
  // routes_registers.cpp: /v1/registers and one register, its resume.
  void registerRoutes();
  const RegisterConfig* registerOf(const Request& req, Response& res);
  void resume(const Request& req, Response& res);
  // routes_jobs.cpp: a new job, the list, one job, a person's resolve and cancel.
  void jobRoutes();
  void postJob(const Request& req, Response& res, bool receipt);
  std::optional<Store::Filter> filterOf(const Request& req, Response& res);
  void listJobs(const Request& req, Response& res);
  std::optional<Job> jobOf(const Request& req, Response& res);
  void resolve(const Request& req, Response& res);
  void cancel(const Request& req, Response& res);
  void settleByPerson(Response& res, const Job& job, JobState from, JobState to, const Verdict& v,
                      const char* code, const std::string& why);
  // routes_events.cpp: /v1/events, the server-sent stream.
  void eventRoutes();
  void events(const Request& req, Response& res);
  // routes_files.cpp: a job's files, the client module, the page.
  void fileRoutes();
  void jobFile(const Request& req, Response& res);
  void page(const Request& req, Response& res);

  const Config& cfg_;
  Store& store_;
  Registers& registers_;
  std::unique_ptr<http::Server> server_;
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

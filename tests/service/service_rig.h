// cassardd against two ecrsim registers on ptys.
//
//   svc::Service s;                        // two registers, cassa1 and cassa2, up and ready
//   auto r = s.post("cassa1", "k1", receipt);   // {status, body}
//   json job = s.waitFinal(r.body["id"]);
//   EXPECT_EQ(s.receiptsOnRoll(0), 1);
//
// Each register is a rig::Rig (its own directory, ecrsim with --record, --roll and a control
// socket at <dir>/ctl). cassardd runs with its state in the service's own directory and is
// started again by start(), stopped by kill9() or term(). Its configuration is written
// from Options; `cassard` may name a wrapper script around the real driver.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rig.h"

namespace svc {

using nlohmann::json;

struct Options {
  std::string token;
  std::string origins = "[]";
  int jobTimeout = 30;
  std::vector<std::string> ecrsimArgs;  // for both registers
  bool wrapper = false;                 // run cassard through the pausing wrapper below
  bool control = false;                 // ecrsim with --control (control(i) then works)
  long fileSizeLimit = 0;               // RLIMIT_FSIZE of cassardd, bytes; 0: none
  std::string config;                   // more top-level lines of cassardd.toml
  std::string registerExtra;            // TOML lines added to each register's table
};

struct Reply {
  int status = 0;
  json body;
  std::string text;
  std::string header(const std::string& name) const;
  std::vector<std::pair<std::string, std::string>> headers;
};

class Service {
 public:
  explicit Service(Options o = {});
  ~Service();

  void start();
  void kill9();
  // SIGTERM, then the exit status; -1 (and SIGKILL) when it has not ended within `limit`.
  int term(std::chrono::seconds limit = std::chrono::seconds(60));
  Options& options() { return o_; }  // for the next start()
  bool running() const { return pid_ > 0; }

  Reply request(const std::string& method, const std::string& path, const std::string& body = "",
                std::vector<std::pair<std::string, std::string>> headers = {});
  Reply get(const std::string& path) { return request("GET", path); }
  Reply post(const std::string& reg, const std::string& key, const json& receipt);
  Reply postJob(const std::string& reg, const std::string& key, const json& job);
  // Polls the job until its state is one of `states` (default: final), at most `timeout`.
  json waitJob(int64_t id, std::vector<std::string> states = {"done", "failed", "attention"},
               std::chrono::milliseconds timeout = std::chrono::seconds(30));
  json waitRegister(const std::string& name, const std::string& state,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

  rig::Rig& reg(int i) { return *regs_.at(static_cast<std::size_t>(i)); }
  int receiptsOnRoll(int i);
  json control(int i, const std::string& command);  // ecrsim's control socket
  std::string log() const;                          // cassardd's stderr
  // The events the store keeps, for the contract check (see recordAnswer).
  void recordEvents();
  const std::filesystem::path& dir() const { return dir_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // The wrapper pauses 2 s at a point when a marker file is there, once per marker:
  // "before-run", "after-run", "before-status". It writes "at-<point>" with its pid as
  // it starts the pause.
  void pauseAt(const std::string& point);
  bool reached(const std::string& point,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  Options o_;
  std::filesystem::path dir_;
  std::vector<std::unique_ptr<rig::Rig>> regs_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A receipt of one item paid in cash.
json receipt(const std::string& description = "PANE", long long price = 125);

}  // namespace svc

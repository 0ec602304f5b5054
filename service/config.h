// cassardd's configuration: the TOML file read once at start into one immutable value.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace cassardd {

struct RegisterConfig {
  std::string name;
  std::string device;
  std::string settings;                         // cassard's third argument; empty for its default
  std::map<std::string, std::string> payments;  // method name -> record code
  int queueLimitS = 120;  // a receipt still queued this long after it came is never sent
  int settleLimitS = 60;  // a job uncertain this long needs a person
};

struct Config {
  std::string listenHost = "127.0.0.1";
  int listenPort = 8765;
  std::string stateDir = "/var/lib/cassard";
  std::string cassard = "/usr/bin/cassard";
  std::string token;
  std::vector<std::string> origins;
  int jobTimeoutS = 300;
  int keepDays = 90;
  std::string webDir = "/usr/share/cassard/web";
  std::vector<RegisterConfig> registers;  // in the file's order

  const RegisterConfig* findRegister(const std::string& name) const;
  bool loopback() const;
};

// One line naming the key and what is wrong with it: "registers.cassa1.device: missing".
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Record codes a payment may use, and whether each takes an amount.
bool paymentCodeKnown(const std::string& code);
bool paymentTakesAmount(const std::string& code);
// The code that also asks for the fiscal report (10 -> 12, 11 -> 13, 21 -> 23, 22 -> 24);
// empty for a code without one.
std::string fiscalTwin(const std::string& code);

Config parseConfig(const std::string& text, const std::string& source);
Config loadConfig(const std::string& path);

}  // namespace cassardd

// cassardd's configuration: the TOML file read once at start into one immutable value.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace cassardd {

// How a payment method reaches the register: the record that pays an amount with it,
// whether its key gives change, and the record that pays the rest without an amount.
struct PaymentMethod {
  std::string record;  // the amount's record; for a method without an amount, its rest record
  bool amount = true;  // takes an amount
  bool change = false;
  std::string rest;  // pays what is due without an amount; empty when the method cannot

  PaymentMethod() = default;
  // The simple form, contanti = "10": the record table's defaults for the record.
  PaymentMethod(const std::string& record);  // NOLINT(google-explicit-constructor)
  PaymentMethod(const char* record) : PaymentMethod(std::string(record)) {}  // NOLINT
};

struct RegisterConfig {
  std::string name;
  std::string device;
  std::string settings;                           // cassard's third argument; empty for its default
  std::map<std::string, PaymentMethod> payments;  // by method name
  long long maxTotal = 9999999;                   // cents: the most a receipt may come to
  int queueLimitS = 120;  // a receipt still queued this long after it came is never sent
  int settleLimitS = 60;  // a job uncertain this long needs a person
};

struct Config {
  std::string listenHost = "127.0.0.1";
  int listenPort = 8765;
  std::string stateDir = "/var/lib/cassard";
  std::string cassard = "/usr/bin/cassard";
  std::string token;
  std::vector<std::string> origins;   // scheme://host[:port], lower case, no default port
  std::string tlsCert, tlsKey;        // PEM files: with both, cassardd serves only HTTPS
  std::string tlsCertPem, tlsKeyPem;  // their text, read by loadConfig
  bool insecureLan = false;           // plain HTTP on a listen other than the loopback
  int jobTimeoutS = 300;
  int keepDays = 90;
  std::string webDir = "/usr/share/cassard/web";
  std::vector<RegisterConfig> registers;  // in the file's order

  const RegisterConfig* findRegister(const std::string& name) const;
  bool loopback() const;
  bool tls() const { return !tlsCert.empty(); }
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

// An origin as a browser sends it ("https://till.example.com:8443"), from a configured
// entry: scheme and host in lower case, a trailing '/' and the scheme's default port
// dropped. Throws ConfigError naming `key` for a path, query, userinfo or missing scheme.
std::string normaliseOrigin(const std::string& entry, const std::string& key);

Config parseConfig(const std::string& text, const std::string& source);
Config loadConfig(const std::string& path);

}  // namespace cassardd

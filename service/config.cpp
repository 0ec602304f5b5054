#include "service/config.h"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace cassardd {

namespace {

struct PaymentCode {
  const char* code;
  bool amount;
  const char* twin;
};
// Which key each record code presses is the register's own programming; whether the
// record carries an amount and which code also asks for the fiscal report is the
// driver's record table.
constexpr PaymentCode kPaymentCodes[] = {
    {"10", true, "12"}, {"11", false, "13"}, {"20", true, ""},  {"21", true, "23"},
    {"22", true, "24"}, {"30", true, ""},    {"35", false, ""},
};

const PaymentCode* paymentCode(const std::string& code) {
  for (const PaymentCode& p : kPaymentCodes)
    if (code == p.code) return &p;
  return nullptr;
}

[[noreturn]] void fail(const std::string& key, const std::string& problem) {
  throw ConfigError(key + ": " + problem);
}

const std::regex kRegisterName("[A-Za-z0-9_-]{1,32}");
const std::regex kMethodName("[A-Za-z0-9_-]{1,32}");

std::string str(const toml::node& n, const std::string& key) {
  if (!n.is_string()) fail(key, "must be a string");
  return n.as_string()->get();
}

int integer(const toml::node& n, const std::string& key, int lo, int hi) {
  if (!n.is_integer()) fail(key, "must be an integer");
  const int64_t v = n.as_integer()->get();
  if (v < lo || v > hi)
    fail(key, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
  return static_cast<int>(v);
}

void parseListen(const std::string& text, Config& c) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    fail("listen", "must be HOST:PORT, e.g. \"127.0.0.1:8765\"");
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  in_addr a4{};
  in6_addr a6{};
  if (inet_pton(AF_INET, host.c_str(), &a4) != 1 && inet_pton(AF_INET6, host.c_str(), &a6) != 1)
    fail("listen", "the host must be an IP address (\"" + host + "\" is not)");
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
      std::stoi(port) > 65535)
    fail("listen", "the port must be a number from 0 to 65535 (\"" + port + "\" is not)");
  c.listenHost = host;
  c.listenPort = std::stoi(port);
}

RegisterConfig parseRegister(const std::string& name, const toml::node& node) {
  const std::string at = "registers." + name;
  if (!std::regex_match(name, kRegisterName))
    fail(at, "a register's name is 1 to 32 letters, digits, '_' or '-'");
  if (!node.is_table()) fail(at, "must be a table");
  RegisterConfig r;
  r.name = name;
  bool haveDevice = false;
  for (const auto& [k, v] : *node.as_table()) {
    const std::string key(k.str());
    const std::string full = at + "." + key;
    if (key == "device") {
      r.device = str(v, full);
      if (r.device.empty() || r.device.front() != '/') fail(full, "must be an absolute path");
      haveDevice = true;
    } else if (key == "settings") {
      r.settings = str(v, full);
      if (r.settings.size() > 79) fail(full, "is longer than 79 characters");
    } else if (key == "payments") {
      if (!v.is_table()) fail(full, "must be a table of method = \"code\"");
      for (const auto& [m, code] : *v.as_table()) {
        const std::string method(m.str());
        const std::string mkey = full + "." + method;
        if (!std::regex_match(method, kMethodName))
          fail(mkey, "a method's name is 1 to 32 letters, digits, '_' or '-'");
        const std::string c = str(code, mkey);
        if (!paymentCode(c)) fail(mkey, "\"" + c + "\" is not one of 10, 11, 20, 21, 22, 30, 35");
        r.payments[method] = c;
      }
    } else if (key == "queue_limit_s") {
      r.queueLimitS = integer(v, full, 1, 86400);
    } else if (key == "settle_limit_s") {
      r.settleLimitS = integer(v, full, 1, 86400);
    } else {
      fail(full, "unknown key (known: device, settings, payments, queue_limit_s, settle_limit_s)");
    }
  }
  if (!haveDevice) fail(at + ".device", "missing");
  return r;
}

}  // namespace

bool paymentCodeKnown(const std::string& code) {
  return paymentCode(code) != nullptr;
}
bool paymentTakesAmount(const std::string& code) {
  const PaymentCode* p = paymentCode(code);
  return p && p->amount;
}
std::string fiscalTwin(const std::string& code) {
  const PaymentCode* p = paymentCode(code);
  return p ? p->twin : "";
}

const RegisterConfig* Config::findRegister(const std::string& name) const {
  for (const RegisterConfig& r : registers)
    if (r.name == name) return &r;
  return nullptr;
}

bool Config::loopback() const {
  in_addr a4{};
  if (inet_pton(AF_INET, listenHost.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  return listenHost == "::1";
}

Config parseConfig(const std::string& text, const std::string& source) {
  toml::table root;
  try {
    root = toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << source << ":" << e.source().begin.line << ": " << e.description();
    throw ConfigError(msg.str());
  }
  Config c;
  bool haveRegisters = false;
  for (const auto& [k, v] : root) {
    const std::string key(k.str());
    if (key == "listen") {
      parseListen(str(v, key), c);
    } else if (key == "state_dir") {
      c.stateDir = str(v, key);
      if (c.stateDir.empty()) fail(key, "must not be empty");
    } else if (key == "cassard") {
      c.cassard = str(v, key);
      if (c.cassard.empty()) fail(key, "must not be empty");
    } else if (key == "token") {
      c.token = str(v, key);
      if (c.token.find_first_of(" \t\r\n") != std::string::npos)
        fail(key, "must not contain white space");
    } else if (key == "origins") {
      if (!v.is_array()) fail(key, "must be an array of strings");
      std::size_t i = 0;
      for (const toml::node& o : *v.as_array()) {
        const std::string okey = key + "[" + std::to_string(i++) + "]";
        const std::string origin = str(o, okey);
        if (origin.rfind("http://", 0) != 0 && origin.rfind("https://", 0) != 0)
          fail(okey, "an origin is scheme://host[:port], e.g. \"http://till.local:8080\"");
        c.origins.push_back(origin);
      }
    } else if (key == "job_timeout_s") {
      c.jobTimeoutS = integer(v, key, 1, 86400);
    } else if (key == "keep_days") {
      c.keepDays = integer(v, key, 1, 36500);
    } else if (key == "web_dir") {
      c.webDir = str(v, key);
    } else if (key == "registers") {
      if (!v.is_table()) fail(key, "must be a table of [registers.NAME] tables");
      for (const auto& [name, reg] : *v.as_table())
        c.registers.push_back(parseRegister(std::string(name.str()), reg));
      haveRegisters = true;
    } else {
      fail(key,
           "unknown key (known: listen, state_dir, cassard, token, origins, job_timeout_s, "
           "keep_days, web_dir, registers)");
    }
  }
  if (!haveRegisters || c.registers.empty())
    fail("registers", "no register configured (add a [registers.NAME] table with its device)");
  if (c.token.empty() && !c.loopback())
    fail("token", "required when listen is not a loopback address");
  // toml++ keeps a table's keys sorted; the file's order is the order a person wrote.
  std::stable_sort(c.registers.begin(), c.registers.end(),
                   [&](const RegisterConfig& a, const RegisterConfig& b) {
                     return root["registers"][a.name].node()->source().begin.line <
                            root["registers"][b.name].node()->source().begin.line;
                   });
  return c;
}

Config loadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return parseConfig(text.str(), path);
}

}  // namespace cassardd

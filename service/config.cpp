#include "service/config.h"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

#include "service/http.h"

namespace cassardd {

namespace {

struct PaymentCode {
  const char* code;
  bool amount;
  const char* twin;
  bool change;       // the key gives change unless the register is programmed otherwise
  const char* rest;  // the record pressing the same key without an amount
};
// Which key each record code presses is the register's own programming; whether the
// record carries an amount, which code also asks for the fiscal report, and which record
// presses the same key without an amount is the driver's record table: 10 and 11 press
// 49, 35 presses 50 without an amount, every other record its own key with one.
constexpr PaymentCode kPaymentCodes[] = {
    {"10", true, "12", true, "11"}, {"11", false, "13", false, "11"}, {"20", true, "", false, ""},
    {"21", true, "23", false, ""},  {"22", true, "24", false, ""},    {"30", true, "", false, ""},
    {"35", false, "", false, "35"},
};
constexpr const char* kCodeList = "10, 11, 20, 21, 22, 30, 35";

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

std::string record(const toml::node& n, const std::string& key) {
  const std::string c = str(n, key);
  if (!paymentCode(c)) fail(key, "\"" + c + "\" is not one of " + kCodeList);
  return c;
}

// contanti = "10", or carta = { record = "20", change = false }, or
// contanti = { record = "10", change = true, rest = "11" }.
PaymentMethod parsePayment(const toml::node& node, const std::string& at) {
  if (node.is_string()) return PaymentMethod(record(node, at));
  if (!node.is_table())
    fail(at,
         "must be a record code (\"10\") or a table { record = \"10\", change = true, "
         "rest = \"11\" }");
  const toml::table& t = *node.as_table();
  if (!t.contains("record")) fail(at + ".record", "missing");
  PaymentMethod p(record(*t.get("record"), at + ".record"));
  const PaymentCode& code = *paymentCode(p.record);
  for (const auto& [k, v] : t) {
    const std::string key(k.str());
    const std::string full = at + "." + key;
    if (key == "record") continue;
    if (key == "change") {
      if (!v.is_boolean()) fail(full, "must be true or false");
      p.change = v.as_boolean()->get();
      if (p.change && !code.amount)
        fail(full, "record " + p.record + " takes no amount, so it gives no change");
    } else if (key == "rest") {
      const std::string rest = record(v, full);
      if (rest != code.rest)
        fail(full,
             std::string("record ") + p.record +
                 (*code.rest ? std::string(" pays the rest with record ") + code.rest + " only"
                             : std::string(" has no record that pays the rest (10 has 11)")));
    } else {
      fail(full, "unknown key (known: record, change, rest)");
    }
  }
  return p;
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
      if (!v.is_table())
        fail(full, "must be a table of method = \"record\" or method = { record = ... }");
      for (const auto& [m, method] : *v.as_table()) {
        const std::string name(m.str());
        const std::string mkey = full + "." + name;
        if (!std::regex_match(name, kMethodName))
          fail(mkey, "a method's name is 1 to 32 letters, digits, '_' or '-'");
        r.payments[name] = parsePayment(method, mkey);
      }
    } else if (key == "max_total") {
      r.maxTotal = integer(v, full, 1, 999999999);
    } else if (key == "queue_limit_s") {
      r.queueLimitS = integer(v, full, 1, 86400);
    } else if (key == "settle_limit_s") {
      r.settleLimitS = integer(v, full, 1, 86400);
    } else {
      fail(full,
           "unknown key (known: device, settings, payments, max_total, queue_limit_s, "
           "settle_limit_s)");
    }
  }
  if (!haveDevice) fail(at + ".device", "missing");
  return r;
}

}  // namespace

PaymentMethod::PaymentMethod(const std::string& code) : record(code) {
  if (const PaymentCode* p = paymentCode(code)) {
    amount = p->amount;
    change = p->change;
    rest = p->rest;
  }
}

std::string normaliseOrigin(const std::string& entry, const std::string& key) {
  const std::string shape = "an origin is scheme://host[:port], e.g. \"http://till.local:8080\"";
  const auto sep = entry.find("://");
  if (sep == std::string::npos) fail(key, shape);
  std::string scheme = entry.substr(0, sep);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), ::tolower);
  if (scheme != "http" && scheme != "https") fail(key, shape);
  std::string rest = entry.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (const auto at = rest.find_first_of("/?#"); at != std::string::npos)
    fail(key, "\"" + entry + "\" has a path or query (\"" + rest.substr(at) + "\"): " + shape);
  if (rest.find('@') != std::string::npos) fail(key, "\"" + entry + "\" has a user name: " + shape);
  std::transform(rest.begin(), rest.end(), rest.begin(), ::tolower);
  // The port is after the last ':' that is not inside an IPv6 address's brackets.
  const auto colon = rest.rfind(':');
  std::string host = rest, port;
  if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
      fail(key, "\"" + entry + "\": the port must be a number from 1 to 65535");
  }
  if (host.empty() || host == "[]") fail(key, "\"" + entry + "\" has no host: " + shape);
  // A browser leaves out the scheme's own port.
  if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) port.clear();
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

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
        c.origins.push_back(normaliseOrigin(str(o, okey), okey));
      }
    } else if (key == "tls_cert" || key == "tls_key") {
      const std::string path = str(v, key);
      if (path.empty()) fail(key, "must not be empty");
      (key == "tls_cert" ? c.tlsCert : c.tlsKey) = path;
    } else if (key == "insecure_lan") {
      if (!v.is_boolean()) fail(key, "must be true or false");
      c.insecureLan = v.as_boolean()->get();
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
           "unknown key (known: listen, state_dir, cassard, token, origins, tls_cert, tls_key, "
           "insecure_lan, job_timeout_s, keep_days, web_dir, registers)");
    }
  }
  if (!haveRegisters || c.registers.empty())
    fail("registers", "no register configured (add a [registers.NAME] table with its device)");
  if (c.token.empty() && !c.loopback())
    fail("token", "required when listen is not a loopback address");
  if (c.tlsCert.empty() != c.tlsKey.empty())
    fail(c.tlsCert.empty() ? "tls_cert" : "tls_key",
         c.tlsCert.empty() ? "required with tls_key (the server's certificate, PEM)"
                           : "required with tls_cert (the certificate's private key, PEM)");
  // Tablets on the shop's network would send the token in the clear.
  if (!c.loopback() && !c.tls() && !c.insecureLan)
    fail("listen", c.listenHost +
                       " is not a loopback address: give tls_cert and tls_key to serve HTTPS, or "
                       "set insecure_lan = true to serve plain HTTP on the shop's network");
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
  Config c = parseConfig(text.str(), path);
  if (c.tls()) {
    for (auto [key, file, pem] : {std::tuple{"tls_cert", &c.tlsCert, &c.tlsCertPem},
                                  std::tuple{"tls_key", &c.tlsKey, &c.tlsKeyPem}}) {
      std::ifstream f(*file, std::ios::binary);
      std::ostringstream bytes;
      if (f) bytes << f.rdbuf();
      if (!f || f.bad()) fail(key, *file + ": cannot be read");
      *pem = bytes.str();
    }
    if (const std::string problem = http::tlsProblem(c.tlsCertPem, c.tlsKeyPem); !problem.empty())
      fail("tls_cert", c.tlsCert + " and tls_key " + c.tlsKey + " cannot serve HTTPS: " + problem);
  }
  return c;
}

}  // namespace cassardd

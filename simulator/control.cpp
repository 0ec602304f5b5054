#include "simulator/control.h"

#include <nlohmann/json.hpp>

#include "simulator/keycodes.h"

namespace ecrsim {

using nlohmann::json;

namespace {

// Descriptions travel as Latin-1 bytes; JSON wants UTF-8.
std::string utf8(const std::string& latin1) {
  std::string out;
  for (unsigned char c : latin1) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xc0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return out;
}

json lineJson(const SaleLine& l) {
  static const char* const kinds[] = {"sale", "return", "discount", "surcharge", "text"};
  json j = {{"kind", kinds[static_cast<int>(l.kind)]}, {"description", utf8(l.description)}};
  if (l.kind == SaleLine::Kind::Sale || l.kind == SaleLine::Kind::Return) {
    j["department"] = l.department;
    if (l.quantity % 1000 == 0)
      j["quantity"] = l.quantity / 1000;
    else
      j["quantity"] = static_cast<double>(l.quantity) / 1000.0;
    j["price"] = l.price;
  }
  if (l.kind != SaleLine::Kind::Text) j["amount"] = l.amount;
  return j;
}

json linesJson(const std::vector<SaleLine>& lines) {
  json out = json::array();
  for (const SaleLine& l : lines) out.push_back(lineJson(l));
  return out;
}

json paymentsJson(const std::vector<Payment>& payments) {
  json out = json::array();
  for (const Payment& p : payments)
    out.push_back({{"key", p.key}, {"name", utf8(p.name)}, {"amount", p.amount}});
  return out;
}

json faultsJson(const Register& reg) {
  json out = json::array();
  for (const std::string& f : reg.armedFaults()) out.push_back(utf8(f));
  return out;
}

json receiptJson(const Receipt& r) {
  return {{"number", r.number},
          {"total", r.total},
          {"paid", r.paid},
          {"change", r.change},
          {"lines", linesJson(r.lines)},
          {"payments", paymentsJson(r.payments)}};
}

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string errorJson(const std::string& message) {
  return dump({{"ok", false}, {"error", utf8(message)}});
}

std::string stateJson(const Register& reg, const LineInfo& info) {
  const Till& t = reg.till();
  json j = {{"ok", true},
            {"saleOpen", t.open()},
            {"subtotal", t.subtotal()},
            {"paid", t.paid()},
            {"due", t.due()},
            {"lines", linesJson(t.lines())},
            {"payments", paymentsJson(t.payments())},
            {"receiptNumber", reg.receiptText()},
            {"receipts", t.receipts()},
            {"faults", faultsJson(reg)},
            {"commands", reg.commands()},
            {"runCommands", reg.runCommands()},
            {"keysPressed", reg.keysPressed()},
            {"host", info.plugged && info.host}};
  j["operator"] = t.operatorNumber() != 0 ? json(t.operatorNumber()) : json(nullptr);
  j["lastReceipt"] = t.lastReceipt() ? receiptJson(*t.lastReceipt()) : json(nullptr);
  j["line"] = info.plugged ? json(info.link) : json(nullptr);
  return dump(j);
}

namespace {

// An amount in the smallest unit as the keypad keys it: 1-9 for their digits, 10 for 0.
bool amountKeys(std::string_view digits, std::vector<uint8_t>& keys) {
  if (digits.empty() || digits.size() > 9) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    keys.push_back(c == '0' ? 10 : static_cast<uint8_t>(c - '0'));
  }
  return true;
}

// What a person's keys left: the sale, what is due, the counter.
json afterKeys(const Register& reg) {
  return {{"ok", true},
          {"saleOpen", reg.saleOpen()},
          {"due", reg.till().due()},
          {"receiptNumber", reg.receiptText()}};
}

// The register's word on a person's keys, as one answer line.
std::string keysAnswer(const Register& reg, const KeyOutcome& o, json ok) {
  if (o.refusal == 0) return dump(ok);
  json j = {{"ok", false}, {"error", utf8("the register refused the keys: " + o.why)}};
  // Keys pressed while a host holds the line: the register took none of them, and the
  // host's next command hears of it.
  if (reg.keysPressed()) j["heldByHost"] = true;
  return dump(j);
}

const KeyDef* keyOf(const Register& reg, KeyKind kind, auto&& match) {
  for (const KeyDef& k : reg.profile().keys)
    if (k.kind == kind && match(k)) return &k;
  return nullptr;
}

std::string paymentNames(const Register& reg) {
  std::string names;
  for (const KeyDef& k : reg.profile().keys)
    if (k.kind == KeyKind::Payment) names += (names.empty() ? "" : ", ") + k.name;
  return names;
}

// "sell CENTS [DESCRIPTION]": one item in department 1, as a person keys it, opening a
// sale when none is open.
std::string sell(Register& reg, std::string_view arg, bool held) {
  std::vector<uint8_t> keys;
  const std::string_view amount = arg.substr(0, arg.find(' '));
  const std::string_view description =
      amount.size() < arg.size() ? arg.substr(amount.size() + 1) : std::string_view("A MANO");
  if (description.empty() || description.size() > 35)
    return errorJson("\"sell\": a description of 1 to 35 characters");
  keys = {kItemKey, kCountedText, static_cast<uint8_t>(description.size())};
  keys.insert(keys.end(), description.begin(), description.end());
  keys.push_back(kDescriptionEnd);
  if (!amountKeys(amount, keys))
    return errorJson("\"sell\" needs a price in cents, 1 to 9 digits: sell 125 [DESCRIPTION]");
  const KeyDef* dept =
      keyOf(reg, KeyKind::Department, [](const KeyDef& k) { return k.department == 1; });
  if (dept == nullptr) return errorJson("the profile programs no key for department 1");
  keys.push_back(dept->code);
  const KeyOutcome o = reg.byHand(keys, held);
  return keysAnswer(reg, o, afterKeys(reg));
}

// "pay [METHOD] [CENTS]": a payment key of the profile by its name (without one, the
// first key that gives change: cash), CENTS or else the whole amount due.
std::string pay(Register& reg, std::string_view arg, bool held) {
  std::string_view method = arg.substr(0, arg.find(' '));
  std::string_view amount = method.size() < arg.size() ? arg.substr(method.size() + 1) : "";
  while (!amount.empty() && amount.front() == ' ') amount.remove_prefix(1);
  if (!method.empty() && method.find_first_not_of("0123456789") == std::string_view::npos) {
    amount = arg;
    method = {};
  }
  const std::string usage = "pay [METHOD] [CENTS], METHOD one of " + paymentNames(reg);
  const KeyDef* k =
      method.empty()
          ? keyOf(reg, KeyKind::Payment, [](const KeyDef& d) { return d.change; })
          : keyOf(reg, KeyKind::Payment, [&](const KeyDef& d) { return d.name == method; });
  if (k == nullptr && method.empty())
    k = keyOf(reg, KeyKind::Payment, [](const KeyDef&) { return true; });
  if (k == nullptr)
    return errorJson("\"pay\": no payment key named \"" + std::string(method.substr(0, 40)) +
                     "\"; " + usage);
  std::vector<uint8_t> keys;
  if (!amount.empty() && !amountKeys(amount, keys))
    return errorJson("\"pay\" takes a payment key's name and an amount in cents, 1 to 9 digits: " +
                     usage);
  keys.push_back(k->code);
  const KeyOutcome o = reg.byHand(keys, held);
  return keysAnswer(reg, o, afterKeys(reg));
}

// "void": the open sale cancelled on the register; no receipt, the counter stays.
std::string voidSale(Register& reg, bool held) {
  const KeyOutcome o = reg.voidByHand(held);
  json ok = afterKeys(reg);
  ok["voided"] = o.voided;
  return keysAnswer(reg, o, ok);
}

std::string faultCommand(Register& reg, std::string_view arg) {
  Fault f;
  std::string error;
  if (arg.empty()) return errorJson("\"fault\" needs a fault, as --fault takes it");
  if (!parseFault(arg, f, error)) return errorJson(error);
  if (f.index != 0 && f.index <= reg.commands())
    return errorJson("command " + std::to_string(f.index) + " has already been received (" +
                     std::to_string(reg.commands()) +
                     " so far); aim at a later one, at run:N or at an event");
  reg.arm(f);
  return dump({{"ok", true}, {"faults", faultsJson(reg)}});
}

std::string receiptsJson(const Register& reg) {
  json all = json::array();
  for (const Receipt& receipt : reg.till().history()) all.push_back(receiptJson(receipt));
  return dump({{"ok", true}, {"receipts", all}});
}

constexpr const char* kCommands =
    "state, receipts, fault, clear, reset, hangup, plug, sell, pay, void";

}  // namespace

ControlReply controlCommand(Register& reg, std::string_view line, const LineInfo& info) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::string_view word = line, arg;
  if (auto sp = line.find(' '); sp != std::string_view::npos) {
    word = line.substr(0, sp);
    arg = line.substr(sp + 1);
    while (!arg.empty() && arg.front() == ' ') arg.remove_prefix(1);
  }
  const bool held = info.plugged && info.host;
  ControlReply r;
  // The commands that take an argument; every other takes none.
  if (word == "fault") {
    r.json = faultCommand(reg, arg);
  } else if (word == "sell") {
    r.json = sell(reg, arg, held);
  } else if (word == "pay") {
    r.json = pay(reg, arg, held);
  } else if (word != "state" && word != "receipts" && word != "clear" && word != "reset" &&
             word != "hangup" && word != "plug" && word != "void") {
    r.json = errorJson("unknown command \"" + std::string(line.substr(0, 40)) +
                       "\"; commands: " + kCommands);
  } else if (!arg.empty()) {
    // Built piece by piece: g++ 12 sees a false overlap in the chained operator+.
    std::string msg = "\"";
    msg.append(word).append("\" takes no argument");
    r.json = errorJson(msg);
  } else if (word == "state") {
    r.json = stateJson(reg, info);
  } else if (word == "receipts") {
    r.json = receiptsJson(reg);
  } else if (word == "clear") {
    reg.clearFaults();
    r.json = dump({{"ok", true}, {"faults", json::array()}});
  } else if (word == "reset") {
    reg.reset();
    r.action = LineAction::Reset;
    r.json = dump({{"ok", true}});
  } else if (word == "hangup") {
    if (!info.plugged) r.json = errorJson("the line is not plugged in");
    r.action = info.plugged ? LineAction::Hangup : LineAction::None;
  } else if (word == "plug") {
    if (info.plugged) r.json = errorJson("the line is already plugged in");
    r.action = info.plugged ? LineAction::None : LineAction::Plug;
  } else {
    r.json = voidSale(reg, held);
  }
  return r;
}

}  // namespace ecrsim

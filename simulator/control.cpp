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

// "sell CENTS [DESCRIPTION]": one item in department 1, as a person keys it, opening a sale
// when none is open. "pay [CENTS]": cash, the whole amount due without CENTS.
std::string byHand(Register& reg, std::string_view word, std::string_view arg) {
  std::vector<uint8_t> keys;
  std::string_view amount = arg.substr(0, arg.find(' '));
  if (word == "sell") {
    std::string_view description =
        amount.size() < arg.size() ? arg.substr(amount.size() + 1) : std::string_view("A MANO");
    if (description.empty() || description.size() > 35)
      return errorJson("\"sell\": a description of 1 to 35 characters");
    keys = {kItemKey, kCountedText, static_cast<uint8_t>(description.size())};
    keys.insert(keys.end(), description.begin(), description.end());
    keys.push_back(kDescriptionEnd);
    if (!amountKeys(amount, keys))
      return errorJson("\"sell\" needs a price in cents, 1 to 9 digits: sell 125 [DESCRIPTION]");
    keys.push_back(75);  // department 1 in the shipped key table
  } else {
    if (amount.size() != arg.size())
      return errorJson("\"pay\" takes at most an amount in cents: pay [500]");
    if (!amount.empty() && !amountKeys(amount, keys))
      return errorJson("\"pay\" takes an amount in cents, 1 to 9 digits: pay [500]");
    keys.push_back(49);  // contanti in the shipped key table
  }
  const KeyOutcome o = reg.byHand(keys);
  if (o.refusal != 0) return errorJson("the register refused the keys: " + o.why);
  json j = {{"ok", true},
            {"saleOpen", reg.saleOpen()},
            {"due", reg.till().due()},
            {"receiptNumber", reg.receiptText()}};
  return dump(j);
}

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
  auto noArgument = [&]() -> std::string {
    if (arg.empty()) return {};
    // Built piece by piece: g++ 12 sees a false overlap in the chained operator+.
    std::string msg = "\"";
    msg.append(word).append("\" takes no argument");
    return errorJson(msg);
  };
  ControlReply r;
  if (word == "state") {
    r.json = noArgument();
    if (r.json.empty()) r.json = stateJson(reg, info);
  } else if (word == "receipts") {
    r.json = noArgument();
    if (r.json.empty()) {
      json all = json::array();
      for (const Receipt& receipt : reg.till().history()) all.push_back(receiptJson(receipt));
      r.json = dump({{"ok", true}, {"receipts", all}});
    }
  } else if (word == "fault") {
    Fault f;
    std::string error;
    if (arg.empty()) {
      r.json = errorJson("\"fault\" needs a fault, as --fault takes it");
    } else if (!parseFault(arg, f, error)) {
      r.json = errorJson(error);
    } else if (f.index != 0 && f.index <= reg.commands()) {
      r.json = errorJson("command " + std::to_string(f.index) + " has already been received (" +
                         std::to_string(reg.commands()) +
                         " so far); aim at a later one, at run:N or at an event");
    } else {
      reg.arm(f);
      r.json = dump({{"ok", true}, {"faults", faultsJson(reg)}});
    }
  } else if (word == "clear") {
    r.json = noArgument();
    if (r.json.empty()) {
      reg.clearFaults();
      r.json = dump({{"ok", true}, {"faults", json::array()}});
    }
  } else if (word == "reset") {
    r.json = noArgument();
    if (r.json.empty()) {
      reg.reset();
      r.action = LineAction::Reset;
      r.json = dump({{"ok", true}});
    }
  } else if (word == "hangup") {
    r.json = noArgument();
    if (r.json.empty() && !info.plugged) r.json = errorJson("the line is not plugged in");
    if (r.json.empty()) r.action = LineAction::Hangup;
  } else if (word == "plug") {
    r.json = noArgument();
    if (r.json.empty() && info.plugged) r.json = errorJson("the line is already plugged in");
    if (r.json.empty()) r.action = LineAction::Plug;
  } else if (word == "sell" || word == "pay") {
    r.json = byHand(reg, word, arg);
  } else {
    r.json = errorJson("unknown command \"" + std::string(line.substr(0, 40)) +
                       "\"; commands: state, receipts, fault, clear, reset, hangup, plug, sell, "
                       "pay");
  }
  return r;
}

}  // namespace ecrsim

#include "simulator/roll.h"

#include <algorithm>
#include <cstdio>

#include "simulator/keycodes.h"

namespace ecrsim {

namespace {

// Digit keys as the operator reads them: 1-9, 10 for 0, 13 the decimal point. Any
// other key makes the run unreadable as a number.
bool keysToDigits(std::span<const uint8_t> keys, std::string& out) {
  out.clear();
  for (uint8_t k : keys) {
    if (k >= 1 && k <= 9)
      out.push_back(static_cast<char>('0' + k));
    else if (k == 10)
      out.push_back('0');
    else if (k == 13)
      out.push_back('.');
    else
      return false;
  }
  return true;
}

// An amount keyed without a point is in the smallest unit of the currency.
std::string amount(std::span<const uint8_t> keys, int decimals) {
  std::string d;
  if (!keysToDigits(keys, d)) return "?";
  if (d.empty()) return "(whole amount due)";
  if (d.find('.') != std::string::npos || decimals <= 0) return d;
  while (d.size() <= static_cast<std::size_t>(decimals)) d.insert(d.begin(), '0');
  d.insert(d.end() - decimals, ',');
  return d;
}

std::string printable(std::span<const uint8_t> text) {
  std::string s;
  for (uint8_t c : text) s.push_back(c >= 0x20 && c != 0x7f ? static_cast<char>(c) : '.');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string keyList(std::span<const uint8_t> keys) {
  std::string s;
  for (uint8_t k : keys) {
    if (!s.empty()) s.push_back(' ');
    s += std::to_string(k);
  }
  return s;
}

std::string fmt(const char* f, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, f, args...);
  return buf;
}

// An amount in the smallest unit, with the currency's decimals and a decimal comma.
std::string money(Money v, int decimals) {
  std::string d = std::to_string(v < 0 ? -v : v);
  if (decimals > 0) {
    while (d.size() <= static_cast<std::size_t>(decimals)) d.insert(d.begin(), '0');
    d.insert(d.end() - decimals, ',');
  }
  return v < 0 ? "-" + d : d;
}

// Quantity in thousandths: "2", "1,5", "0,001".
std::string quantity(Money q) {
  std::string s = money(q, 3);
  while (s.back() == '0') s.pop_back();
  if (s.back() == ',') s.pop_back();
  return s;
}

// The amounts of a receipt line up in one column, as on a till roll:
//   SALE   description (35)                    dept 7     2 x 1,29      2,58
std::string total(const std::string& label, Money v, int decimals) {
  return fmt("%-63s%10s\n", label.c_str(), money(v, decimals).c_str());
}

std::string saleLine(const SaleLine& l, int decimals) {
  const std::string qty =
      l.quantityKeyed ? quantity(l.quantity) + " x " + money(l.price, decimals) : "";
  return fmt("%-6s %-35s dept %-3u%12s%10s\n", l.kind == SaleLine::Kind::Return ? "RETURN" : "SALE",
             l.description.c_str(), l.department, qty.c_str(), money(l.amount, decimals).c_str());
}

std::string keyName(const Executed& ev, uint8_t code) {
  const KeyDef* k = ev.till ? ev.till->key(code) : nullptr;
  return k ? k->name : "key " + std::to_string(code);
}

// What a keyboard command the register executed did to the sale.
std::string sold(const KeyOutcome& o, int decimals) {
  using What = KeyOutcome::What;
  switch (o.what) {
    case What::Item:
      return o.line.department != 0 ? saleLine(o.line, decimals) : std::string();
    case What::Text:
      return "    " + o.line.description + "\n";
    case What::Adjust:
      if (o.refusal != 0) return {};
      return total((o.line.kind == SaleLine::Kind::Discount ? "DISCOUNT " : "SURCHARGE ") +
                       o.line.description,
                   o.line.amount, decimals);
    case What::Subtotal:
      return total("SUBTOTAL", o.subtotal, decimals);
    case What::Payment: {
      std::string out;
      if (o.firstPayment)
        out += total("SUBTOTAL", o.closed ? o.receipt.total : o.subtotal, decimals);
      out += total("PAYMENT  " + o.payment.name, o.payment.amount, decimals);
      if (o.refusal != 0) return out;
      if (!o.closed) return out + total("DUE", o.due, decimals);
      out += total("TOTAL", o.receipt.total, decimals);
      out += total("CHANGE", o.receipt.change, decimals);
      return out + fmt("-------- receipt %04u closed --------\n", o.receipt.number);
    }
    default:
      break;
  }
  return {};
}

// 42, 19, M, description, 49, [28], [quantity keys, 27], price keys, department key.
bool itemSale(std::span<const uint8_t> p, int decimals, std::string& out) {
  if (p.size() < 4 || p[0] != 42 || p[1] != kCountedText) return false;
  const std::size_t m = p[2];
  if (p.size() < 3 + m + 1) return false;
  const std::string desc = printable(p.subspan(3, m));
  std::span<const uint8_t> rest = p.subspan(3 + m);
  if (rest.size() == 1 && rest[0] == 145) {
    out = "    " + desc + "\n";
    return true;
  }
  if (rest.size() < 2 || rest[0] != 49) return false;
  rest = rest.subspan(1);
  const uint8_t dept = rest.back();
  if (dept < kFirstDeptKey || dept > kLastDeptKey) return false;
  rest = rest.first(rest.size() - 1);
  bool isReturn = false;
  if (!rest.empty() && rest[0] == kReturnKey) {
    isReturn = true;
    rest = rest.subspan(1);
  }
  std::string qty;
  auto q = std::find(rest.begin(), rest.end(), kQuantityKey);
  if (q != rest.end()) {
    std::span<const uint8_t> qkeys(rest.begin(), q);
    if (!keysToDigits(qkeys, qty)) qty.assign(1, '?');
    std::replace(qty.begin(), qty.end(), '.', ',');
    rest = std::span<const uint8_t>(q + 1, rest.end());
  }
  out = fmt("%-6s %-35s", isReturn ? "RETURN" : "SALE", desc.c_str());
  if (!qty.empty()) out += fmt(" %s x", qty.c_str());
  out += fmt(" %s  dept %d\n", amount(rest, decimals).c_str(), dept - 74);
  return true;
}

std::string keyboard(std::span<const uint8_t> p, const Executed& ev, int decimals) {
  if (p.size() == 1 && p[0] == 0) return {};
  std::string out;
  if (ev.keys != nullptr && !(out = sold(*ev.keys, decimals)).empty()) return out;
  if (itemSale(p, decimals, out)) return out;
  if (p.size() == 3 && p[0] <= 9 && p[1] <= 9 && p[2] == kOperatorKey)
    return fmt("OPERATOR %d\n", p[0] * 10 + p[1]);
  if (p.size() > 1 && p[0] == 0) return "REPORT  keys " + keyList(p) + "\n";
  if (p.size() >= 3 && p[0] == 61 && p[1] == kCountedText)
    return "TEXT    " + printable(p.subspan(3, std::min<std::size_t>(p[2], p.size() - 3))) + "\n";
  if (const KeyDef* k = ev.till ? ev.till->key(p.back()) : nullptr;
      k != nullptr && k->kind == KeyKind::Payment)
    return "PAYMENT  " + keyName(ev, p.back()) + "  " + amount(p.first(p.size() - 1), decimals) +
           "\n";
  return "KEYS    " + keyList(p) + "\n";
}

std::string printer(std::span<const uint8_t> p) {
  if (p.size() >= 2 && p[0] <= 9) return fmt("ROW %d   ", p[0]) + printable(p.subspan(1)) + "\n";
  if (p.size() > 4 && p[0] == 13)
    return fmt("DOCUMENT ROW %d  ", p[2]) + printable(p.subspan(4)) + "\n";
  return "PRINT   " + keyList(p) + "\n";
}

std::string expansion(std::span<const uint8_t> p, std::span<const uint8_t> answer) {
  if (p.size() < 2) return "EXPANSION ?\n";
  switch (p[1]) {
    case 0:
      return "EXPANSION MEMORY: state\n";
    case 1:
      return "EXPANSION MEMORY: descriptor\n";
    case 24:
      return "EXPANSION MEMORY: count flag\n";
    case 10:
      if (answer.size() >= 2 && answer[0] == 0)
        return fmt("JOURNAL RECORD type %02X, %zu bytes\n", answer[1], answer.size() - 1);
      return "JOURNAL END\n";
    case 19:
      return p.size() > 2 ? fmt("EXPANSION TOTAL %d read\n", p[2]) : "EXPANSION TOTAL ?\n";
    case 20:
      return "EXPANSION TOTALS CLEARED\n";
    default:
      return fmt("EXPANSION function %d\n", p[1]);
  }
}

}  // namespace

std::string rollLines(const Executed& ev, int decimals) {
  // A person cancelled the open sale on the register (no command of the host's).
  if (ev.keys != nullptr && ev.keys->what == KeyOutcome::What::Void) {
    if (ev.keys->refusal != 0) return "VOID   [refused: " + ev.keys->why + "]\n";
    return total("VOID", ev.keys->voided, decimals) + "-------- sale cancelled --------\n";
  }
  if (ev.command.empty()) return "(empty command)\n";
  const std::span<const uint8_t> p = ev.command.subspan(1);
  std::string line;
  switch (ev.command[0]) {
    case 'A':
      line = keyboard(p, ev, decimals);
      break;
    case 'O':
      line = printer(p);
      break;
    case 'S':
      line = "STATUS ASKED\n";
      break;
    case 'H':
      line = p.size() == 1 && p[0] == 1 ? "== host opens a download ==\n" : "== host closes ==\n";
      break;
    case 'T':
      line = "IDENTIFICATION\n";
      break;
    case 'D':
      line = p.size() == 3 ? fmt("MEMORY READ 0x%04X, %d bytes\n", p[0] | p[1] << 8, p[2])
                           : "MEMORY READ ?\n";
      break;
    case 'C':
      line = "ARTICLE CODE SETTINGS\n";
      break;
    case 'U':
      line = expansion(p, ev.answerData);
      break;
    default:
      line = fmt("COMMAND '%c'  %s\n", ev.command[0], keyList(p).c_str());
      break;
  }
  const bool refusedByKeys = ev.keys != nullptr && ev.keys->refusal != 0;
  if (ev.answerLetter == 'E' || refusedByKeys) {
    if (line.empty()) line = "ZERO KEY\n";
    line.insert(line.size() - 1, refusedByKeys && !ev.keys->why.empty()
                                     ? "   [refused: " + ev.keys->why + "]"
                                     : std::string("   [refused]"));
  }
  return line;
}

}  // namespace ecrsim

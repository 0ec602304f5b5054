#include "simulator/till.h"

#include <algorithm>

#include "simulator/amount.h"
#include "simulator/keycodes.h"

namespace ecrsim {

namespace {

bool keypadKey(unsigned code) {
  return code <= 10 || code == kPointKey || code == kCountedText || code == kQuantityKey ||
         code == kReturnKey || code == kOperatorKey || code == kItemKey;
}

std::string trimmed(std::span<const uint8_t> text) {
  std::string s(text.begin(), text.end());
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

std::vector<KeyDef> defaultKeys() {
  std::vector<KeyDef> keys = {
      {49, KeyKind::Payment, "contanti", true, false, 0},
      {50, KeyKind::Payment, "credito", false, false, 0},
      {51, KeyKind::Payment, "carta", false, false, 0},
      {54, KeyKind::Payment, "ticket", false, false, 0},
      {125, KeyKind::Payment, "assegno", false, false, 0},
      {126, KeyKind::Payment, "buono", false, false, 0},
      {31, KeyKind::Surcharge, "maggiorazione", false, false, 0},
      {33, KeyKind::Discount, "sconto", false, false, 0},
      {36, KeyKind::Subtotal, "subtotale", false, false, 0},
  };
  for (unsigned d = 1; d <= 30; ++d)
    keys.push_back({static_cast<uint8_t>(74 + d), KeyKind::Department, "reparto", false, false, d});
  return keys;
}

bool checkKeyTable(const std::vector<KeyDef>& keys, std::string& error) {
  std::vector<bool> seen(256, false);
  for (const KeyDef& k : keys) {
    if (keypadKey(k.code)) {
      error = "key " + std::to_string(k.code) +
              " is one of the keypad's own keys (0-10, 13, 19, 27, 28, 39, 42)";
      return false;
    }
    if (seen[k.code]) {
      error = "key " + std::to_string(k.code) + " appears twice in \"keys\"";
      return false;
    }
    seen[k.code] = true;
  }
  return true;
}

Till::Till(std::vector<KeyDef> keys, bool operatorRequired, int decimals,
           std::vector<Money> departmentPrices)
    : keys_(std::move(keys)),
      operatorRequired_(operatorRequired),
      decimals_(decimals),
      departmentPrices_(std::move(departmentPrices)) {}

const KeyDef* Till::key(uint8_t code) const {
  for (const KeyDef& k : keys_)
    if (k.code == code) return &k;
  return nullptr;
}

bool Till::amountOf(std::span<const uint8_t> keys, int places, Money& out, bool whole) const {
  if (keys.empty() || keys.size() > 13) return false;
  Money v = 0;
  int decimals = -1;  // digits after the point; -1 before it
  for (uint8_t k : keys) {
    if (k == kPointKey) {
      if (decimals >= 0) return false;
      decimals = 0;
      continue;
    }
    if (k < 1 || k > 10) return false;
    v = v * 10 + (k == 10 ? 0 : k);
    if (decimals >= 0 && ++decimals > places) return false;
  }
  // Without a point an amount is keyed in the smallest unit, a quantity or a
  // percentage in whole units.
  if (decimals < 0) decimals = whole ? 0 : places;
  for (int i = decimals; i < places; ++i) v *= 10;
  out = v;
  return true;
}

bool Till::isItemSale(std::span<const uint8_t> keys) const {
  if (keys.size() < 5 || keys[0] != kItemKey) return false;
  const KeyDef* k = key(keys.back());
  return k != nullptr && k->kind == KeyKind::Department;
}

bool Till::isPayment(std::span<const uint8_t> keys) const {
  if (keys.empty() || keys[0] == kZeroKey || keys[0] == kItemKey) return false;
  const KeyDef* k = key(keys.back());
  return k != nullptr && k->kind == KeyKind::Payment;
}

bool Till::wouldClose(std::span<const uint8_t> keys) const {
  if (!open_ || subtotal_ < 0 || !isPayment(keys)) return false;
  Money amount = due();
  if (keys.size() > 1 && !amountOf(keys.first(keys.size() - 1), decimals_, amount)) return false;
  return amount >= due() && (amount == due() || key(keys.back())->change);
}

bool Till::signedOnOrFree(KeyOutcome& o) const {
  if (open_ || !operatorRequired_ || operator_ != 0) return true;
  o.refuse('*', "no operator signed on");
  return false;
}

KeyOutcome Till::press(std::span<const uint8_t> keys, unsigned nextReceipt) {
  KeyOutcome o;
  if (keys.size() == 1 && keys[0] == kZeroKey) {
    o.what = KeyOutcome::What::Zero;
  } else if (keys.size() == 3 && keys[0] <= 9 && keys[1] <= 9 && keys[2] == kOperatorKey) {
    o.what = KeyOutcome::What::Operator;
    operator_ = keys[0] * 10u + keys[1];
    o.operatorNumber = operator_;
  } else if (!keys.empty() && keys[0] == kZeroKey) {
    o.what = KeyOutcome::What::Report;
  } else if (!keys.empty() && keys[0] == kItemKey) {
    o = item(keys);
  } else if (const KeyDef* k = keys.empty() ? nullptr : key(keys.back()); k == nullptr) {
    o.what = KeyOutcome::What::Other;
  } else if (k->kind == KeyKind::Payment) {
    o = pay(keys.first(keys.size() - 1), *k, nextReceipt);
  } else if (k->kind == KeyKind::Discount || k->kind == KeyKind::Surcharge) {
    o = adjust(keys.first(keys.size() - 1), *k);
  } else if (k->kind == KeyKind::Subtotal && keys.size() == 1) {
    o.what = KeyOutcome::What::Subtotal;
    afterSubtotal_ = open_;
  } else {
    o.what = KeyOutcome::What::Other;
  }
  o.subtotal = subtotal_;
  o.due = due();
  return o;
}

// 42, 19, M, description, then 145 for a text line, or 49, [28], [quantity, 27],
// [price], department key.
KeyOutcome Till::item(std::span<const uint8_t> keys) {
  KeyOutcome o;
  o.what = KeyOutcome::What::Item;
  if (keys.size() < 4 || keys[1] != kCountedText || keys.size() < 4u + keys[2])
    return o.refuse('E', "item sale not understood");
  SaleLine& line = o.line;
  line.description = trimmed(keys.subspan(3, keys[2]));
  std::span<const uint8_t> rest = keys.subspan(3 + keys[2]);
  if (rest.size() == 1 && rest[0] == kTextLineEnd) {
    o.what = KeyOutcome::What::Text;
    line.kind = SaleLine::Kind::Text;
    if (!signedOnOrFree(o)) return o;
    o.opened = !open_;
    open_ = true;
    lines_.push_back(line);
    return o;
  }
  if (rest.size() < 2 || rest[0] != kDescriptionEnd)
    return o.refuse('E', "item sale not understood");
  const KeyDef* dept = key(rest.back());
  if (dept == nullptr || dept->kind != KeyKind::Department)
    return o.refuse('E', "no department key at the end of the sale");
  line.department = dept->department;
  rest = rest.subspan(1, rest.size() - 2);
  if (!rest.empty() && rest[0] == kReturnKey) {
    line.kind = SaleLine::Kind::Return;
    rest = rest.subspan(1);
  }
  if (auto q = std::find(rest.begin(), rest.end(), kQuantityKey); q != rest.end()) {
    const auto n = static_cast<std::size_t>(q - rest.begin());
    if (!amountOf(rest.first(n), 3, line.quantity, true))
      return o.refuse('E', "quantity not understood");
    if (line.quantity == 0) return o.refuse('E', "quantity 0");
    line.quantityKeyed = true;
    rest = rest.subspan(n + 1);
  }
  if (rest.empty()) {
    // No price keyed: the department's programmed price.
    line.price =
        line.department <= departmentPrices_.size() ? departmentPrices_[line.department - 1] : 0;
  } else if (!amountOf(rest, decimals_, line.price)) {
    return o.refuse('E', "price not understood");
  }
  const Money amount = lineAmount(line.price, line.quantity);
  line.amount = line.kind == SaleLine::Kind::Return ? -amount : amount;
  if (!payments_.empty()) return o.refuse('E', "a sale after a payment");
  if (!signedOnOrFree(o)) return o;
  o.opened = !open_;
  open_ = true;
  afterSubtotal_ = false;
  subtotal_ += line.amount;
  lines_.push_back(line);
  return o;
}

// [subtotal key], amount or percentage, then the discount or surcharge key: on the
// subtotal right after the subtotal key, else on the last line sold.
KeyOutcome Till::adjust(std::span<const uint8_t> keys, const KeyDef& k) {
  KeyOutcome o;
  o.what = KeyOutcome::What::Adjust;
  bool onSubtotal = afterSubtotal_;
  if (const KeyDef* first = keys.empty() ? nullptr : key(keys[0]);
      first != nullptr && first->kind == KeyKind::Subtotal) {
    onSubtotal = true;
    keys = keys.subspan(1);
  }
  if (!open_) return o.refuse('E', "no sale open");
  if (!payments_.empty()) return o.refuse('E', "a payment is under way");
  Money base = onSubtotal ? subtotal_ : 0;
  if (!onSubtotal) {
    auto last = std::find_if(lines_.rbegin(), lines_.rend(),
                             [](const SaleLine& l) { return l.kind == SaleLine::Kind::Sale; });
    if (last == lines_.rend()) return o.refuse('E', "no line to discount");
    base = last->amount;
  }
  Money value = 0;
  if (!amountOf(keys, k.percent ? 2 : decimals_, value, k.percent) || value == 0)
    return o.refuse('E', "amount not understood");
  if (k.percent) {
    if (value > 10000) return o.refuse('E', "more than 100%");
    value = (base * value + 5000) / 10000;
  }
  if (k.kind == KeyKind::Discount && value > base)
    return o.refuse('E', "a discount larger than its line");
  o.line.kind = k.kind == KeyKind::Discount ? SaleLine::Kind::Discount : SaleLine::Kind::Surcharge;
  o.line.description = k.name;
  o.line.amount = k.kind == KeyKind::Discount ? -value : value;
  subtotal_ += o.line.amount;
  lines_.push_back(o.line);
  afterSubtotal_ = false;
  return o;
}

KeyOutcome Till::pay(std::span<const uint8_t> keys, const KeyDef& k, unsigned nextReceipt) {
  KeyOutcome o;
  o.what = KeyOutcome::What::Payment;
  o.payment = {k.code, k.name, due()};
  if (!keys.empty() && (!amountOf(keys, decimals_, o.payment.amount) || o.payment.amount == 0)) {
    o.what = KeyOutcome::What::Other;  // the roll shows the keys as they came
    return o.refuse('E', "amount not understood");
  }
  if (!open_) {
    return o.refuse('E', "no sale open");
  }
  // Lines may take the subtotal below zero on the way; a receipt may not close there.
  if (subtotal_ < 0) {
    return o.refuse('E', "the total is negative");
  }
  if (o.payment.amount > due() && !k.change) {
    return o.refuse('\t', k.name + " gives no change");
  }
  o.firstPayment = payments_.empty();
  payments_.push_back(o.payment);
  paid_ += o.payment.amount;
  if (paid_ < subtotal_) return o;

  o.closed = true;
  Receipt& r = o.receipt;
  r.number = nextReceipt;
  r.total = subtotal_;
  r.paid = paid_;
  r.change = paid_ - subtotal_;
  r.lines = std::move(lines_);
  r.payments = std::move(payments_);
  last_ = r;
  history_.push_back(r);
  if (history_.size() > kHistory) history_.pop_front();
  ++receipts_;
  clearSale();
  return o;
}

KeyOutcome Till::cancel() {
  KeyOutcome o;
  o.what = KeyOutcome::What::Void;
  if (!open_) return o.refuse('E', "no sale open");
  o.voided = subtotal_;
  clearSale();
  return o;
}

void Till::clearSale() {
  open_ = false;
  afterSubtotal_ = false;
  subtotal_ = paid_ = 0;
  lines_.clear();
  payments_.clear();
}

}  // namespace ecrsim

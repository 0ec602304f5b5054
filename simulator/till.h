// The register's open sale and its money, in whole units of the smallest coin (cents
// with two decimals): what each keyboard command sells, discounts, adds or pays, when
// a receipt closes, with what change, and which commands it refuses.
//
// Which keys pay, discount, surcharge, subtotal or choose a department is the
// register's programming: the profile's key table. The keypad's own keys are fixed:
// digits 1-9 and 10 for 0, 13 the decimal point, 27 after a quantity, 28 return,
// 39 after an operator's two digits, 42 the start of an item sale, 19 a counted text.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ecrsim {

using Money = long long;

enum class KeyKind { Payment, Discount, Surcharge, Subtotal, Department };

struct KeyDef {
  uint8_t code = 0;
  KeyKind kind = KeyKind::Payment;
  std::string name;
  bool change = false;      // a payment key that may give change
  bool percent = false;     // a discount or surcharge keyed as a percentage
  unsigned department = 0;  // department number of a department key
};

// The key table a profile gets when it names none: the keys cassard's sales records
// send, programmed as a small shop would.
std::vector<KeyDef> defaultKeys();

// Checks a key table: codes 1-255 once each, none of the keypad's own keys.
bool checkKeyTable(const std::vector<KeyDef>& keys, std::string& error);

struct SaleLine {
  enum class Kind { Sale, Return, Discount, Surcharge, Text };
  Kind kind = Kind::Sale;
  std::string description;  // as sent, trailing spaces cut
  unsigned department = 0;
  Money quantity = 1000;  // thousandths
  bool quantityKeyed = false;
  Money price = 0;
  Money amount = 0;  // signed: returns and discounts are negative
};

struct Payment {
  uint8_t key = 0;
  std::string name;
  Money amount = 0;
};

struct Receipt {
  unsigned number = 0;
  Money total = 0, paid = 0, change = 0;
  std::vector<SaleLine> lines;
  std::vector<Payment> payments;
};

// What one keyboard command did, for the answer and the roll.
struct KeyOutcome {
  enum class What { Zero, Operator, Item, Text, Adjust, Subtotal, Payment, Report, Void, Other };
  What what = What::Other;
  // 0: accepted. '*' or '\t': refused with that outcome in an 'S' answer. 'E':
  // refused with an 'E' answer.
  char refusal = 0;
  std::string why;  // the refusal in words, for the roll
  SaleLine line;    // Item, Text, Adjust
  Payment payment;  // Payment
  unsigned operatorNumber = 0;
  bool opened = false, closed = false;
  Money subtotal = 0;  // after the command
  Money due = 0;       // after the command, while the sale stays open
  bool firstPayment = false;
  Receipt receipt;   // when closed
  Money voided = 0;  // Void: the subtotal of the sale cancelled

  // Refused with this outcome ('E', '*' or '\t') for this reason.
  KeyOutcome& refuse(char outcome, std::string reason) {
    refusal = outcome;
    why = std::move(reason);
    return *this;
  }
};

class Till {
 public:
  Till(std::vector<KeyDef> keys, bool operatorRequired, int decimals,
       std::vector<Money> departmentPrices);

  // Applies one 'A' payload (the keys after the letter). A closing payment takes
  // `nextReceipt` as the receipt's number.
  KeyOutcome press(std::span<const uint8_t> keys, unsigned nextReceipt);

  // A person cancels the open sale on the register: its lines and any part payments go,
  // no receipt closes and the counter stays. Refused with no sale open.
  KeyOutcome cancel();

  // What a payload is, without applying it: the events faults wait for.
  bool isItemSale(std::span<const uint8_t> keys) const;
  bool isPayment(std::span<const uint8_t> keys) const;
  bool wouldClose(std::span<const uint8_t> keys) const;

  bool open() const { return open_; }
  Money subtotal() const { return subtotal_; }
  Money paid() const { return paid_; }
  Money due() const { return subtotal_ - paid_; }
  const std::vector<SaleLine>& lines() const { return lines_; }
  const std::vector<Payment>& payments() const { return payments_; }
  unsigned operatorNumber() const { return operator_; }
  const std::optional<Receipt>& lastReceipt() const { return last_; }
  // The receipts closed, oldest first: the last kHistory of them.
  static constexpr std::size_t kHistory = 10000;
  const std::deque<Receipt>& history() const { return history_; }
  unsigned receipts() const { return receipts_; }
  const KeyDef* key(uint8_t code) const;

 private:
  // Digits and at most one point, read as a number with `places` decimals; without a
  // point the digits count the smallest unit, or whole units when `whole`.
  bool amountOf(std::span<const uint8_t> keys, int places, Money& out, bool whole = false) const;
  KeyOutcome item(std::span<const uint8_t> keys);
  KeyOutcome adjust(std::span<const uint8_t> keys, const KeyDef& k);
  KeyOutcome pay(std::span<const uint8_t> keys, const KeyDef& k, unsigned nextReceipt);
  bool signedOnOrFree(KeyOutcome& o) const;
  void clearSale();

  std::vector<KeyDef> keys_;
  bool operatorRequired_;
  int decimals_;
  std::vector<Money> departmentPrices_;

  bool open_ = false;
  bool afterSubtotal_ = false;
  Money subtotal_ = 0, paid_ = 0;
  std::vector<SaleLine> lines_;
  std::vector<Payment> payments_;
  unsigned operator_ = 0;
  std::optional<Receipt> last_;
  std::deque<Receipt> history_;
  unsigned receipts_ = 0;
};

}  // namespace ecrsim

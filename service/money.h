// Money as the register counts it: whole cents, quantities in thousandths, integers only
// (pure: no I/O).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cassardd::money {

using Cents = int64_t;

inline constexpr int64_t kLeastQuantity = 1;        // 0.001
inline constexpr int64_t kMostQuantity = 99999999;  // 99999.999
inline constexpr Cents kMostAmount = 999999999;     // the amount column's 9 digits
inline constexpr Cents kDefaultMaxTotal = 9999999;  // 99999.99

// What a sale line comes to: price x quantity (in thousandths), rounded half up to the
// cent, as the register rounds it. 125 x 2.500 = 312.5 -> 313.
Cents lineAmount(Cents price, int64_t quantityMilli);

// The thousandths of a quantity given as a JSON number; nothing unless it is a multiple
// of 0.001 from 0.001 to 99999.999 (1e-10 and 2.0005 are not).
std::optional<int64_t> quantityMilli(double quantity);

// One payment of a receipt: an amount, or none to pay what is still due.
struct Tender {
  std::optional<Cents> amount;
  bool givesChange = false;
};

// How the payments meet the total, in the order the register takes them.
struct Tendered {
  enum class Fault {
    None,
    AfterTotal,         // payment `at` comes after the total was reached
    OverWithoutChange,  // payment `at` exceeds what is due on a method without change
    Short,              // the payments end before the total is reached
  };
  Fault fault = Fault::None;
  std::size_t at = 0;  // the payment at fault
  Cents due = 0;       // what was due before payment `at` (Short: what is left to pay)
  Cents change = 0;    // what the payments exceed the total by (None only)
};
Tendered tender(Cents total, const std::vector<Tender>& payments);

// An amount as a till person writes it: "12,50", "12.5", "1250" (digits alone are cents,
// as in the API). Up to 9 999 999,99 EUR; nothing for anything else.
std::optional<Cents> centsOf(const std::string& s);

}  // namespace cassardd::money

#include "service/money.h"

#include <cmath>
#include <regex>

namespace cassardd::money {

Cents lineAmount(Cents price, int64_t quantityMilli) {
  return (price * quantityMilli + 500) / 1000;
}

std::optional<int64_t> quantityMilli(double quantity) {
  // The range first, on the double: it also keeps NaN and infinities out of the cast.
  if (!(quantity >= 0.0005 && quantity < 99999.9995)) return std::nullopt;
  const auto milli = static_cast<int64_t>(std::llround(quantity * 1000.0));
  if (milli < kLeastQuantity || milli > kMostQuantity) return std::nullopt;
  // Exact: both sides are the double nearest the same decimal, or the quantity has more
  // than three decimals.
  if (static_cast<double>(milli) / 1000.0 != quantity) return std::nullopt;
  return milli;
}

Tendered tender(Cents total, const std::vector<Tender>& payments) {
  Tendered t;
  Cents paid = 0;
  for (std::size_t i = 0; i < payments.size(); ++i) {
    const Cents due = total - paid;
    if (due <= 0) return {Tendered::Fault::AfterTotal, i, due, 0};
    const Tender& p = payments[i];
    if (!p.amount) {
      paid = total;
      continue;
    }
    if (*p.amount > due && !p.givesChange) return {Tendered::Fault::OverWithoutChange, i, due, 0};
    paid += *p.amount;
  }
  if (paid < total) return {Tendered::Fault::Short, payments.size(), total - paid, 0};
  t.change = paid - total;
  return t;
}

std::optional<Cents> centsOf(const std::string& s) {
  static const std::regex euros(R"((\d{1,7})[.,](\d{1,2}))");
  static const std::regex cents(R"(\d{1,9})");
  std::smatch m;
  if (std::regex_match(s, m, euros)) {
    std::string frac = m[2].str();
    if (frac.size() == 1) frac += '0';
    return std::stoll(m[1].str()) * 100 + std::stoll(frac);
  }
  if (std::regex_match(s, cents)) return std::stoll(s);
  return std::nullopt;
}

}  // namespace cassardd::money

// What a sale line comes to on the register.
#pragma once

namespace ecrsim {

// price x quantity in thousandths, rounded half up to the unit: 125 x 2.500 -> 313.
inline long long lineAmount(long long price, long long thousandths) {
  return (price * thousandths + 500) / 1000;
}

}  // namespace ecrsim

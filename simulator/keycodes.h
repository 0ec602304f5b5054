// The keyboard's fixed key codes, as the register reads a keyboard command. Which keys
// pay, discount or choose a department is programming, in the profile's key table.
#pragma once

#include <cstdint>

namespace ecrsim {

inline constexpr uint8_t kZeroKey = 0;
inline constexpr uint8_t kPointKey = 13;     // the decimal point among the digit keys
inline constexpr uint8_t kCountedText = 19;  // a text follows, its length first
inline constexpr uint8_t kQuantityKey = 27;
inline constexpr uint8_t kReturnKey = 28;
inline constexpr uint8_t kOperatorKey = 39;
inline constexpr uint8_t kItemKey = 42;
inline constexpr uint8_t kDescriptionEnd = 49;
inline constexpr uint8_t kFirstDeptKey = 75;
inline constexpr uint8_t kLastDeptKey = 104;
inline constexpr uint8_t kTextLineEnd = 145;

}  // namespace ecrsim

// Quantities and amounts of a sales line as the register's key codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t KEY_POINT = 13;    // decimal point
inline constexpr uint8_t KEY_QTY_END = 27;  // closes the quantity of an item sale
inline constexpr uint8_t KEY_RETURN = 28;   // return of the next item

// A short key sequence held by value: no heap, nothing to release.
struct KeySeq {
  std::array<uint8_t, 11> keys{};
  std::size_t len = 0;
  void push(uint8_t k) {
    if (len < keys.size()) keys[len++] = k;
  }
  std::span<const uint8_t> view() const { return {keys.data(), len}; }
  bool empty() const { return len == 0; }
};

// The 9-character quantity column (three implied decimals): 1 to 10 keys.
KeySeq convqta(const char* qta);
// The 9-character amount column: 0 to 9 keys.
KeySeq convimporto(const char* prezzo);
// '0' is key 10; every other character c is c - 48, modulo 256.
constexpr uint8_t digitKey(char c) {
  return c == '0' ? 10 : static_cast<uint8_t>(static_cast<uint8_t>(c) - 48);
}

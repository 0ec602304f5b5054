// Quantity and amount columns as key codes.

#include "driver/keypad.h"

#include <gtest/gtest.h>

namespace {

using Keys = std::vector<uint8_t>;

Keys keys(const KeySeq& k) {
  return Keys(k.view().begin(), k.view().end());
}

TEST(Keypad, Quantities) {
  const std::pair<const char*, Keys> cases[] = {
      {"000001000", {1}},
      {"000002500", {2, 13, 5}},
      {"000000500", {10, 13, 5}},
      {"000012345", {1, 2, 13, 3, 4, 5}},
      {"000000000", {10}},
      {"100000000", {1, 10, 10, 10, 10, 10}},
      {"000000001", {10, 13, 10, 10, 1}},
      {"999999999", {9, 9, 9, 9, 9, 9, 13, 9, 9, 9}},
      {"     1000", {240, 240, 240, 240, 240, 1}},  // non-digits map by arithmetic
      {"00000 250", {240, 13, 2, 5}},
  };
  for (const auto& [field, expected] : cases) EXPECT_EQ(keys(convqta(field)), expected) << field;
}

TEST(Keypad, Amounts) {
  // clang-format off
  const std::pair<const char*, Keys> cases[] = {
      {"000001250", {1, 2, 5, 10}}, {"000000007", {7}}, {"00012.500", {1, 2, 13, 5, 10, 10}},
      {"000000000", {}}, {"100000000", {1, 10, 10, 10, 10, 10, 10, 10, 10}},
      {"      150", {240, 240, 240, 240, 240, 240, 1, 5, 10}},
  };
  // clang-format on
  for (const auto& [field, expected] : cases)
    EXPECT_EQ(keys(convimporto(field)), expected) << field;
}

TEST(Keypad, DigitMapping) {
  EXPECT_EQ(digitKey('0'), 10);
  EXPECT_EQ(digitKey('9'), 9);
  EXPECT_EQ(digitKey(' '), 240);
  EXPECT_EQ(digitKey('\0'), 208);
}

}  // namespace

// Quantity and amount columns as key codes.

#include "driver/keypad.h"

namespace {
constexpr int QTY_UNITS = 5;  // position of the units digit in the quantity column
constexpr int FIELD_END = 8;  // last position of a 9-character column
}  // namespace

KeySeq convqta(const char* qta) {
  // Leading zeros are skipped, but the units digit is always keyed.
  int start = 0;
  while (start < QTY_UNITS && qta[start] == '0') ++start;
  int last = FIELD_END;
  while (last > 0 && qta[last] == '0') --last;

  KeySeq keys;
  for (int i = start; i <= QTY_UNITS; ++i) keys.push(digitKey(qta[i]));
  if (last > QTY_UNITS) {
    keys.push(KEY_POINT);
    for (int i = QTY_UNITS + 1; i <= last; ++i) keys.push(digitKey(qta[i]));
  }
  return keys;
}

KeySeq convimporto(const char* prezzo) {
  int i = 0;
  while (i <= FIELD_END && prezzo[i] == '0') ++i;
  KeySeq keys;
  for (; i <= FIELD_END; ++i) keys.push(prezzo[i] == '.' ? KEY_POINT : digitKey(prezzo[i]));
  return keys;
}

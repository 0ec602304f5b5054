#include "simulator/wire.h"

namespace ecrsim {

uint8_t frameChecksum(std::span<const uint8_t> body) {
  uint8_t sum = kEtx;
  for (uint8_t b : body) sum ^= b;
  return sum;
}

Bytes encodeFrame(uint8_t num, uint8_t id, uint8_t uf1, uint8_t uf2,
                  std::span<const uint8_t> data) {
  Bytes body{num, id, uf1, uf2};
  body.insert(body.end(), data.begin(), data.end());
  Bytes out{kDle, kStx};
  out.reserve(body.size() * 2 + 5);
  for (uint8_t b : body) {
    out.push_back(b);
    if (b == kDle) out.push_back(kDle);
  }
  out.push_back(kDle);
  out.push_back(kEtx);
  out.push_back(frameChecksum(body));
  return out;
}

std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0x0f]);
  }
  return s;
}

static int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool parseHex(std::string_view text, Bytes& out) {
  out.clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v = hexValue(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return high < 0;
}

}  // namespace ecrsim

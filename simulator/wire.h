// The register's side of the serial line: control bytes, its answer frames and the
// hex text used by the record and the trace. Written from the register's point of
// view and sharing nothing with the host's link code, so that a mistake on one side
// cannot hide behind the same mistake on the other.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ecrsim {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kErr = 0x07;
inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kNack = 0x15;
inline constexpr uint8_t kSkip = 0x18;
inline constexpr uint8_t kRsta = 0x1e;
inline constexpr uint8_t kRstae = 0x1f;

// Status bits of the byte that answers RSTA.
inline constexpr uint8_t kStatusIdle = 0x01;
inline constexpr uint8_t kStatusCritical = 0x04;
inline constexpr uint8_t kStatusBusy = 0x20;

using Bytes = std::vector<uint8_t>;

// A frame as it goes on the wire: DLE STX, the body (Num, ID, UF1, UF2, data) with
// every 0x10 doubled, DLE ETX, and the XOR of the unstuffed body and ETX. The
// checksum byte itself is never doubled.
Bytes encodeFrame(uint8_t num, uint8_t id, uint8_t uf1, uint8_t uf2, std::span<const uint8_t> data);

// XOR of the body bytes and ETX: the checksum a frame with this body carries.
uint8_t frameChecksum(std::span<const uint8_t> body);

// "10020500" style: two upper-case digits per byte, no separators.
std::string hex(std::span<const uint8_t> bytes);

// Parses hex text, ignoring spaces; false on an odd digit count or a non-hex character.
bool parseHex(std::string_view text, Bytes& out);

}  // namespace ecrsim

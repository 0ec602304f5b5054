// A register profile: everything the simulated register answers with, in the binary
// form the model serves. Profiles are JSON files with structured, readable fields
// (identification, memory map, layout, departments, totals, expansion memory); the
// memory image the 'D' reads see is built from them, and raw overrides may patch it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/till.h"
#include "simulator/wire.h"

namespace ecrsim {

inline constexpr std::size_t kMemorySize = 0x10000;
inline constexpr std::size_t kIdentLen = 80;         // answer to 'T'; the host needs 76
inline constexpr std::size_t kEmInitLen = 48;        // function 0 text
inline constexpr std::size_t kEmDescriptorLen = 83;  // function 1 answer, state byte included
inline constexpr int kEmTotalRecords = 33;           // function 19 records 1..33

struct Expansion {
  bool present = false;  // DD option 8 non-zero
  uint8_t state = 0;     // function 0 state byte
  std::array<uint8_t, kEmInitLen> init{};
  // Function 1 answer: byte 0 its state, then the descriptor at the host's positions.
  std::array<uint8_t, kEmDescriptorLen> descriptor{};
  uint8_t countState = 0;  // function 24: 0 tells the host the count flag is set
  std::vector<Bytes> journal;
  std::size_t totalsLength = 16;  // bytes of one function 19 record
  std::vector<Bytes> totals;      // records 1..33, each totalsLength bytes
};

struct Profile {
  std::string name;
  uint8_t frameId = 0;  // ID byte of its answer frames
  uint8_t idleStatus = kStatusIdle;
  Bytes ident;               // answer data of 'T'
  Bytes memory;              // kMemorySize bytes behind 'D'
  uint16_t receiptAddr = 0;  // first of the two BCD bytes of the receipt number
  // The receipt counter: the number of the last receipt closed, or the starting
  // number while none has closed since the register was fiscalised.
  unsigned receiptNumber = 1;
  Bytes article;     // answer data of 'C' 3
  int decimals = 2;  // places of the amounts keyed, for the roll
  Expansion em;
  std::vector<std::string> faults;
  std::vector<KeyDef> keys;             // the keyboard's programming
  bool operatorRequired = false;        // a sale opens only with an operator signed on
  std::vector<Money> departmentPrices;  // department 1 first
};

// Loads a profile file; a "base" key names a profile (relative to this file) that the
// rest of the file patches, so variants stay a few lines long. Returns false with a
// reason in `error` on any fault in the file.
bool loadProfile(const std::string& path, Profile& out, std::string& error);

// Builds a profile from JSON text (no "base"); same result as loadProfile.
bool profileFromText(const std::string& text, Profile& out, std::string& error);

// Writes the receipt number as two BCD bytes (high digits first) at receiptAddr.
void storeReceiptNumber(Profile& p);

// The receipt counter as the host reads it from those two bytes: each nibble as '0'
// plus its value, high nibble first.
std::string receiptText(const Profile& p);

}  // namespace ecrsim

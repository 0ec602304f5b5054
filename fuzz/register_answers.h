// Answers of a register that takes every command but whose data come from the fuzz
// input: identification, memory images, article codes, expansion memory states and
// records. When the input runs out it answers plain zeros of the length asked, and
// the journal ends, so every load and download can run to its end.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <span>
#include <vector>

namespace fz {

inline std::vector<uint8_t> registerAnswer(FuzzedDataProvider& in, std::span<const uint8_t> cmd,
                                           uint8_t& letter) {
  const uint8_t c = cmd.empty() ? 0 : cmd[0];
  letter = 'S';
  auto bytes = [&](std::size_t want) {
    // Mostly the length asked for; sometimes shorter, sometimes longer.
    std::size_t n = want;
    if (in.remaining_bytes() > 0) {
      switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
          n = in.ConsumeIntegralInRange<std::size_t>(0, want);
          break;
        case 1:
          n = in.ConsumeIntegralInRange<std::size_t>(want, 200);
          break;
        default:
          break;
      }
    }
    std::vector<uint8_t> out = in.ConsumeBytes<uint8_t>(n);
    out.resize(n, 0);
    return out;
  };
  switch (c) {
    case 'T':
      letter = 'T';
      return bytes(76);
    case 'D':
      letter = 'D';
      return bytes(cmd.size() >= 4 ? cmd[3] : 0);
    case 'C':
      letter = 'C';
      return bytes(in.ConsumeBool() ? 10 : 11);
    case 'U': {
      letter = 'U';
      if (in.remaining_bytes() == 0) return {0x07};  // end of journal
      std::vector<uint8_t> out{in.ConsumeIntegral<uint8_t>()};
      const auto rest = bytes(in.ConsumeIntegralInRange<std::size_t>(0, 199));
      out.insert(out.end(), rest.begin(), rest.end());
      return out;
    }
    default: {
      if (in.remaining_bytes() == 0 || in.ConsumeIntegralInRange(0, 15) != 0) return {0, 0, 0};
      // Now and then a refusal, an open sale, or an 'E'.
      const uint8_t outcome = in.PickValueInArray<uint8_t>({0, '*', '\t', 'K'});
      if (in.ConsumeIntegralInRange(0, 7) == 0) letter = 'E';
      return {0, outcome, in.ConsumeIntegral<uint8_t>()};
    }
  }
}

}  // namespace fz

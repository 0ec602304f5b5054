// The receiver and the answer wait against a register that sends whatever the input
// says while a command is in flight: status bytes, answer bytes, answer frames with
// any letter, length and checksum, stray bytes, chunks with delays, silence, and a
// line whose writes fail.
//
// Input: the command (letter and up to 8 payload bytes), then one reaction per thing
// the host writes. When the input runs out the register falls silent.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_port.h"
#include "protocol/protocol.h"

namespace {

void expect(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

constexpr uint8_t LETTERS[] = {'S', 'C', 'D', 'E', 'H', 'O', 'T', 'U', 'I', 'A', 0x10, 0x00};

// Delivers bytes as the input chooses: at once, or in pieces, each late by up to 8 s
// (longer than any single wait of the link).
void deliver(FuzzedDataProvider& in, std::vector<uint8_t> bytes) {
  const int pieces = in.ConsumeIntegralInRange(1, 4);
  uint64_t delay = 0;
  std::size_t pos = 0;
  for (int p = 1; p <= pieces && pos < bytes.size(); ++p) {
    const std::size_t n = p == pieces
                              ? bytes.size() - pos
                              : in.ConsumeIntegralInRange<std::size_t>(1, bytes.size() - pos);
    delay += in.ConsumeIntegralInRange<uint64_t>(0, 8'000'000);
    fz::arrive({bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos + n)},
               delay);
    pos += n;
  }
}

struct Hostile {
  FuzzedDataProvider& in;
  uint8_t num = 1;
  std::vector<uint8_t> last;

  void answerFrame(bool withAck) {
    std::vector<uint8_t> out;
    if (withAck) out.push_back(0x06);
    if (in.ConsumeBool()) {
      const auto stray = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 6));
      out.insert(out.end(), stray.begin(), stray.end());
    }
    const uint8_t letter = in.PickValueInArray(LETTERS);
    const auto data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 210));
    const uint8_t n = in.ConsumeBool() ? num++ : in.ConsumeIntegral<uint8_t>();
    last = fz::answerFrame(n, letter, data, in.ConsumeIntegralInRange(0, 7) == 0);
    out.insert(out.end(), last.begin(), last.end());
    deliver(in, out);
  }

  void onWrite(std::span<const uint8_t> written) {
    for (const fz::HostEvent& e : fz::hostEvents(written)) {
      if (in.remaining_bytes() == 0) return;  // silence from now on
      if (e.kind == fz::HostEvent::Byte && e.byte == 0x1e) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
          case 0:
            break;  // no status
          case 1:
            fz::arrive({in.ConsumeIntegral<uint8_t>()});
            break;
          case 2:
            answerFrame(false);  // a frame instead of a status byte
            break;
          default:
            fz::arrive({static_cast<uint8_t>(in.ConsumeBool() ? 0x00 : 0x01)});
        }
        continue;
      }
      if (e.kind == fz::HostEvent::Byte) {
        // The host's ACK, NACK or other single byte.
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0:
            break;
          case 1:
            if (!last.empty()) deliver(in, last);
            break;
          default:
            deliver(in, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 8)));
        }
        continue;
      }
      switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0:
          break;  // silence
        case 1:
          fz::arrive({in.PickValueInArray<uint8_t>({0x06, 0x07, 0x10, 0x15, 0x18, 0x00})});
          break;
        case 2:
          deliver(in, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 64)));
          break;
        case 3:
          answerFrame(false);  // the answer frame without the ACK
          break;
        case 4:
          if (in.ConsumeIntegralInRange(0, 15) == 0) fz::failWrites(true);
          break;
        default:
          answerFrame(true);
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fz::reset();
  FuzzedDataProvider in(data, size);
  std::vector<uint8_t> command{in.PickValueInArray<uint8_t>({'A', 'S', 'T', 'D', 'U', 'H', 'O'})};
  const auto payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 8));
  command.insert(command.end(), payload.begin(), payload.end());
  const int rounds = in.ConsumeIntegralInRange(1, 3);

  Hostile ecr{in, 1, {}};
  fz::setPeer([&ecr](std::span<const uint8_t> w) { ecr.onWrite(w); });
  fz::run([&] {
    for (int r = 0; r < rounds; ++r) {
      AnswerBuffer rx;
      rx.fill(0xAA);
      long rxLen = 0;  // a key-position refusal leaves it as the caller set it
      long status = -7;
      const long result =
          DirectIO(command.data(), static_cast<long>(command.size()), rx, &rxLen, &status);
      expect(result == ECR_SUCCESS || result == ECR_IE_SENDDATA || result == ECR_IE_DATA ||
                 result == ECR_E_BAD_KEY || result == ECR_E_NO_DIALOG,
             "DirectIO result is one of its five codes");
      expect(rxLen >= 0 && rxLen <= MP_AOC_LEN, "answer length within the answer record");
      if (result != ECR_SUCCESS) {
        // Every failure leaves a terminated message for the caller.
        bool terminated = false;
        for (uint8_t b : rx) terminated = terminated || b == 0;
        expect(terminated, "failure message terminated inside the buffer");
      }
    }
  });
  fz::setPeer(nullptr);
  return 0;
}

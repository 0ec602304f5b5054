// The serial line in virtual time, shared by the unit tests' and the fuzz targets'
// ports: what the register sends arrives in chunks at given moments, a read brings
// what is there (or waits 0.1 s of virtual time for nothing), a pause moves the clock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

namespace vline {

class VirtualLine {
 public:
  static constexpr uint64_t READ_INTERVAL_US = 100'000;

  uint64_t now() const { return now_; }
  bool empty() const { return chunks_.empty(); }

  // Queues a chunk one read will bring, delay_us from now; chunks come in the order
  // they arrive, whenever they were queued.
  void arrive(std::vector<uint8_t> bytes, uint64_t delay_us = 0) {
    if (bytes.empty()) return;
    const uint64_t at = now_ + delay_us;
    auto pos =
        std::find_if(chunks_.begin(), chunks_.end(), [at](const Chunk& c) { return c.at > at; });
    chunks_.insert(pos, {std::move(bytes), at});
  }

  // One read(): up to n bytes of the first chunk there within 0.1 s, or 0 bytes
  // after 0.1 s of silence.
  long read(uint8_t* buf, std::size_t n) {
    if (chunks_.empty() || chunks_.front().at > now_ + READ_INTERVAL_US) {
      now_ += READ_INTERVAL_US;
      return 0;
    }
    now_ = std::max(now_, chunks_.front().at);
    auto& bytes = chunks_.front().bytes;
    const std::size_t take = std::min(n, bytes.size());
    std::memcpy(buf, bytes.data(), take);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(take));
    if (bytes.empty()) chunks_.pop_front();
    return static_cast<long>(take);
  }

  void pause(unsigned micros) { now_ += micros; }

 private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    uint64_t at;
  };
  uint64_t now_ = 0;
  std::deque<Chunk> chunks_;
};

// An answer frame as the register puts it on the wire: DLE STX, the body (Num, ID, 0,
// 0, letter, data) with every 0x10 doubled, DLE ETX, the XOR of body and ETX.
inline std::vector<uint8_t> registerFrame(uint8_t num, uint8_t letter,
                                          std::span<const uint8_t> data, uint8_t id = 0) {
  constexpr uint8_t DLE = 0x10, STX = 0x02, ETX = 0x03;
  std::vector<uint8_t> body{num, id, 0, 0, letter};
  body.insert(body.end(), data.begin(), data.end());
  std::vector<uint8_t> out{DLE, STX};
  uint8_t checksum = ETX;
  for (uint8_t b : body) {
    out.push_back(b);
    if (b == DLE) out.push_back(DLE);
    checksum ^= b;
  }
  out.insert(out.end(), {DLE, ETX, checksum});
  return out;
}

}  // namespace vline

#include "bench/bench_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/port.h"

namespace {
std::span<const uint8_t> gLine;
std::uint64_t gWritten = 0;
}  // namespace

namespace benchport {

void arrive(std::span<const uint8_t> bytes) {
  gLine = bytes;
  gWritten = 0;
}

std::uint64_t written() {
  return gWritten;
}

}  // namespace benchport

long portRead(int, uint8_t* buf, std::size_t n) {
  const std::size_t k = n < gLine.size() ? n : gLine.size();
  if (k > 0) std::memcpy(buf, gLine.data(), k);
  gLine = gLine.subspan(k);
  return static_cast<long>(k);
}

long portWrite(int, const uint8_t*, std::size_t n) {
  gWritten += n;
  return static_cast<long>(n);
}

// A benchmark that waits has gone wrong; the numbers would be the sleep's.
void portPause(unsigned micros) {
  std::fprintf(stderr, "bench_micro: the code under test paused %u us\n", micros);
  std::abort();
}

std::time_t portNow() {
  return 0;
}

// The benchmark's line never stalls: no wait can reach its deadline.
std::uint64_t portMicros() {
  return 0;
}

void portExit(int code) {
  std::fprintf(stderr, "bench_micro: the code under test ended the run with %d\n", code);
  std::abort();
}

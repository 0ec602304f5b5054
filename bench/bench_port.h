// The operating system of the micro-benchmarks: a line that delivers a prepared byte
// run in chunks of what one read would bring, and writes that go nowhere.
#pragma once

#include <cstdint>
#include <span>

namespace benchport {

// The bytes the next reads deliver, from the start; the span must outlive the reads.
void arrive(std::span<const uint8_t> bytes);
// Bytes written to the line since the last arrive().
std::uint64_t written();

}  // namespace benchport

// What the end-to-end benchmark feeds cassard, what the run must take at least, and
// the bare link exchange the floor is measured with.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/sales_line.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

// Mix (a): one item sale, then 07, 06, 07 and 05 in turn, one command each and no
// pause, on a sale that never goes below its item.
std::string singleCommandLines(int lines);
// Mix (b): receipts of a quantity, a sale, a return, a second sale and a payment,
// repeated; a last receipt may be cut short but is still paid.
std::string receiptLines(int lines);

// The sleeps cassard must make for this sales file, in microseconds: 10 ms before the
// zero key, before and after each item sale; 1 ms in 51, 52, HL and after 1C, 2C, 3C;
// 10 ms after each download record, and 10 ms more inside the journal download.
long long pauseFloorMicros(std::string_view salesFile);

// A run of this file with `commands` commands in all (start-up commands first, the
// closing command last), step by step: kCommand for the next command, a positive
// value for a sleep of that many microseconds. Empty when the file holds a record
// whose commands are not listed here.
inline constexpr long kCommand = -1;
std::vector<long> runSteps(std::string_view salesFile, std::size_t commands);

// A command as a frame this side sends: DLE STX Num 0 0 0 data DLE ETX checksum,
// every 0x10 of the body doubled.
Bytes hostFrame(uint8_t num, std::span<const uint8_t> command);

// Collects what the register sends after a command frame: its answer byte, then the
// answer frame. Done when the frame's checksum byte has come (or at once after a
// refusal byte, which carries no frame).
class AnswerCollector {
 public:
  // Takes received bytes; returns how many of them belong to this answer.
  std::size_t feed(std::span<const uint8_t> bytes);
  bool done() const { return state_ == State::Done; }
  bool refused() const { return refused_; }

 private:
  enum class State { AnswerByte, FrameDle, FrameStx, Body, BodyDle, Checksum, Done };
  State state_ = State::AnswerByte;
  bool refused_ = false;
};

// Parses ecrsim's record lines: the hex commands it executed, in order. Lines with a
// mark ("BAD ", "REP ", ...) were not executed and are counted in `marked`.
std::vector<Bytes> executedCommands(std::string_view record, int& marked);

}  // namespace bench

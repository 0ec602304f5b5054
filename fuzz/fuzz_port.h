// The operating system of the fuzz targets: a virtual clock, a line whose far end is
// a register played from the fuzz input, and a process end that unwinds.
//
// A run of cassard may end through ErrorHandle; here portExit throws fz::Exit, and
// fz::run() checks that the status is one cassard is allowed to end with. Anything
// else, a wait that never ends, or a sanitizer report, is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace fz {

struct Exit {
  int code;
};

// Back to an empty line, time 0, no peer, and every global of the link, the driver
// and the configuration at its start value.
void reset();

uint64_t now();

// Bytes that reach the line delay_us from now, in arrival order.
void arrive(std::vector<uint8_t> bytes, uint64_t delay_us = 0);

// Sees every write to the line.
using Peer = std::function<void(std::span<const uint8_t>)>;
void setPeer(Peer peer);

// From now on every write to the line fails, as on a line that vanished.
void failWrites(bool fail);

// The exit statuses cassard ends with; any other aborts the fuzzer.
bool isSpecifiedExit(int code);

// Runs fn; a process end inside it must carry a specified status. Returns the status,
// or INT32_MIN when fn returned.
int run(const std::function<void()>& fn);

// An answer frame as the register puts it on the wire (stuffed, with checksum).
std::vector<uint8_t> answerFrame(uint8_t num, uint8_t letter, std::span<const uint8_t> data,
                                 bool damageChecksum = false);

// Splits what the host writes into the things a register reacts to.
struct HostEvent {
  enum Kind { Byte, Frame } kind = Byte;
  uint8_t byte = 0;           // Byte: RSTA, RSTAE, ACK, NACK, ...
  std::vector<uint8_t> body;  // Frame: unstuffed body (Num, ID, UF1, UF2, letter, data)
  bool checksumOk = false;
};
std::vector<HostEvent> hostEvents(std::span<const uint8_t> written);

// A register that takes every command: status 0 to RSTA, ACK and an 'S' answer
// {0, 0, 0} to every frame, or what `answer` returns for the command.
struct Obliging {
  std::function<std::vector<uint8_t>(std::span<const uint8_t> command, uint8_t& letter)> answer;
  uint8_t num = 1;
  std::vector<uint8_t> last;
  std::vector<std::vector<uint8_t>> commands;
  void onWrite(std::span<const uint8_t> written);
};

// Stops a target when an input keeps cassard busy far beyond any wait it has.
void checkNoHang();

}  // namespace fz

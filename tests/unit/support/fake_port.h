// The operating system of the unit tests: a virtual clock and a line whose far end
// is a Peer (usually ScriptedEcr). Links in place of protocol/port.cpp.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <vector>

namespace fake {

// Thrown by portExit: the process would have ended with this status code
// (the code as passed, e.g. -1; the host would see code & 0xff).
struct ProcessExit {
  int code;
};

// The far end of the line. It sees every write and may queue bytes to arrive.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual void onWrite(std::span<const uint8_t> bytes) = 0;
};

// Back to time 0 with an empty line, no peer, no recorded traffic, writes working,
// and the calendar time at 2026-03-15 10:20:30 local time.
void reset();

// Virtual time in microseconds since reset().
uint64_t now();

void setPeer(Peer* peer);

// Queues a chunk that one read will bring (or the first n bytes of it, the rest
// staying for the next read). With a delay the chunk is there only that many
// microseconds after now; a read that finds nothing waits 0.1 s of virtual time.
void arrive(std::vector<uint8_t> chunk, uint64_t delay_us = 0);
bool lineEmpty();

// Everything written to the line, in order, and each write on its own.
const std::vector<uint8_t>& written();
const std::vector<std::vector<uint8_t>>& writes();

struct Pause {
  uint64_t at;      // virtual time the pause began
  unsigned micros;  // its length
};
const std::vector<Pause>& pauses();

int readCalls();  // portRead calls since reset

// From now on portWrite reports 0 bytes written.
void failWrites(bool fail);

// The calendar time portNow reports.
void setCalendar(std::time_t t);

// Runs fn and returns the exit code it ended with; fails the test if it returned.
int exitCodeOf(const std::function<void()>& fn);

}  // namespace fake

// The bound on every wait for the register: a wait that keeps receiving bytes that make
// no frame ends at twice its silent length, and its failure text says why it ended.

#include <cstdio>

#include "protocol/port.h"
#include "protocol/protocol.h"

WaitEnd FWaitEnd = WaitEnd::Silence;
uint64_t FWaitDeadline = 0;

WaitDeadline::WaitDeadline(uint64_t silentUs) : saved_(FWaitDeadline) {
  const uint64_t mine = portMicros() + 2 * silentUs;
  if (FWaitDeadline == 0 || mine < FWaitDeadline) FWaitDeadline = mine;
}

WaitDeadline::~WaitDeadline() {
  FWaitDeadline = saved_;
}

bool WaitOverdue() {
  return FWaitDeadline != 0 && portMicros() >= FWaitDeadline;
}

const char* WaitFailureText(const char* text) {
  static char out[128];
  const char* cause = FWaitEnd == WaitEnd::Noise    ? " (rumore sulla linea)"
                      : FWaitEnd == WaitEnd::Frames ? " (frame invece dello stato)"
                                                    : "";
  std::snprintf(out, sizeof out, "%s%s", text, cause);
  return out;
}

// The unit tests' operating system: virtual time and a scripted far end.

#include "support/fake_port.h"

#include <gtest/gtest.h>

#include "protocol/port.h"
#include "tests/support/virtual_line.h"

namespace fake {
namespace {

struct State {
  vline::VirtualLine line;
  Peer* peer = nullptr;
  std::vector<uint8_t> written;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<Pause> pauses;
  int reads = 0;
  bool failWrites = false;
  std::time_t calendar = 0;
};

State& st() {
  static State s;
  return s;
}

std::time_t defaultCalendar() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 15;
  t.tm_hour = 10;
  t.tm_min = 20;
  t.tm_sec = 30;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

}  // namespace

void reset() {
  st() = State{};
  st().calendar = defaultCalendar();
}

uint64_t now() {
  return st().line.now();
}
void setPeer(Peer* peer) {
  st().peer = peer;
}

void arrive(std::vector<uint8_t> chunk, uint64_t delay_us) {
  st().line.arrive(std::move(chunk), delay_us);
}

bool lineEmpty() {
  return st().line.empty();
}
const std::vector<uint8_t>& written() {
  return st().written;
}
const std::vector<std::vector<uint8_t>>& writes() {
  return st().writes;
}
const std::vector<Pause>& pauses() {
  return st().pauses;
}
int readCalls() {
  return st().reads;
}
void failWrites(bool fail) {
  st().failWrites = fail;
}
void setCalendar(std::time_t t) {
  st().calendar = t;
}

int exitCodeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const ProcessExit& e) {
    return e.code;
  }
  ADD_FAILURE() << "expected the process to end, but the call returned";
  return INT32_MIN;
}

}  // namespace fake

using fake::st;

long portRead(int, uint8_t* buf, std::size_t n) {
  auto& s = st();
  ++s.reads;
  return s.line.read(buf, n);
}

long portWrite(int, const uint8_t* buf, std::size_t n) {
  auto& s = st();
  if (s.failWrites) return 0;
  std::vector<uint8_t> bytes(buf, buf + n);
  s.written.insert(s.written.end(), bytes.begin(), bytes.end());
  s.writes.push_back(bytes);
  if (s.peer) s.peer->onWrite(bytes);
  return static_cast<long>(n);
}

void portPause(unsigned micros) {
  auto& s = st();
  s.pauses.push_back({s.line.now(), micros});
  s.line.pause(micros);
}

std::time_t portNow() {
  return st().calendar;
}

std::uint64_t portMicros() {
  return st().line.now();
}

void portExit(int code) {
  throw fake::ProcessExit{code};
}

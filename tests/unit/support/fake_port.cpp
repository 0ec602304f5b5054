// The unit tests' operating system: virtual time and a scripted far end.

#include "support/fake_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "protocol/port.h"

namespace fake {
namespace {

struct Chunk {
  std::vector<uint8_t> bytes;
  uint64_t at;  // virtual time it is there
};

constexpr uint64_t READ_INTERVAL_US = 100'000;

struct State {
  uint64_t now = 0;
  Peer* peer = nullptr;
  std::deque<Chunk> line;
  std::vector<uint8_t> written;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<Pause> pauses;
  int reads = 0;
  int empty = 0;
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
  return st().now;
}
void setPeer(Peer* peer) {
  st().peer = peer;
}

void arrive(std::vector<uint8_t> chunk, uint64_t delay_us) {
  if (chunk.empty()) return;
  // The line delivers chunks in the order they arrive, whenever they were queued.
  const uint64_t at = st().now + delay_us;
  auto& line = st().line;
  auto pos = std::find_if(line.begin(), line.end(), [at](const Chunk& c) { return c.at > at; });
  line.insert(pos, {std::move(chunk), at});
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
int emptyReads() {
  return st().empty;
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
  // A read returns what is there at once, or waits up to 0.1 s for a first byte.
  if (!s.line.empty() && s.line.front().at <= s.now + fake::READ_INTERVAL_US) {
    s.now = std::max(s.now, s.line.front().at);
    auto& chunk = s.line.front().bytes;
    const std::size_t take = std::min(n, chunk.size());
    std::memcpy(buf, chunk.data(), take);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(take));
    if (chunk.empty()) s.line.pop_front();
    return static_cast<long>(take);
  }
  s.now += fake::READ_INTERVAL_US;
  ++s.empty;
  return 0;
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
  s.pauses.push_back({s.now, micros});
  s.now += micros;
}

std::time_t portNow() {
  return st().calendar;
}

void portExit(int code) {
  throw fake::ProcessExit{code};
}

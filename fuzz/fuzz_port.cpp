// The fuzz targets' operating system. Links in place of protocol/port.cpp.

#include "fuzz/fuzz_port.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "protocol/ProtocolDef.h"
#include "protocol/port.h"
#include "protocol/protocol.h"
#include "tests/support/virtual_line.h"
#include "tests/unit/support/link_reset.h"

namespace fz {
namespace {

// The longest legitimate run of one input is a few configuration loads with every
// command stretched to its last retry: well under an hour. Six hours of virtual time,
// or millions of line operations, is a wait that does not end.
constexpr uint64_t HANG_US = 6ull * 3600 * 1'000'000;
constexpr long HANG_OPS = 2'000'000;

struct State {
  vline::VirtualLine line;
  long ops = 0;
  Peer peer;
  bool failWrites = false;
};

State& st() {
  static State s;
  return s;
}

// Every input runs in one private directory: the dump log and the files a target
// writes land there, never in the tree the fuzzer was started from.
struct Workdir {
  std::filesystem::path dir;
  Workdir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "cassard-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    std::filesystem::current_path(dir);
    // ErrorHandle prints every report; the fuzzer's own output is on stderr.
    if (!std::getenv("CASSARD_FUZZ_VERBOSE")) {
      if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    }
  }
  ~Workdir() {
    std::error_code ec;
    std::filesystem::current_path("/", ec);
    std::filesystem::remove_all(dir, ec);
  }
};

std::time_t fixedCalendar() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 15;
  t.tm_hour = 10;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

}  // namespace

void reset() {
  static Workdir workdir;
  static const std::time_t calendar = fixedCalendar();
  st() = State{};
  resetLink();
  // The dump log would otherwise grow by a report per input.
  char name[16];
  DumpLogName(calendar, name);
  std::remove(name);
}

uint64_t now() {
  return st().line.now();
}

void arrive(std::vector<uint8_t> bytes, uint64_t delay_us) {
  st().line.arrive(std::move(bytes), delay_us);
}

void failWrites(bool fail) {
  st().failWrites = fail;
}

void setPeer(Peer peer) {
  st().peer = std::move(peer);
}

bool isSpecifiedExit(int code) {
  static constexpr int specified[] = {-1, 2, 4, 8, 16, 17, 18, 21, 32, 99};
  return std::find(std::begin(specified), std::end(specified), code) != std::end(specified);
}

int run(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Exit& e) {
    if (!isSpecifiedExit(e.code)) {
      std::fprintf(stderr, "cassard ended with the unspecified status %d (%s)\n", e.code,
                   FErrorExt);
      std::abort();
    }
    return e.code;
  }
  return INT32_MIN;
}

void checkNoHang() {
  auto& s = st();
  if (++s.ops > HANG_OPS || s.line.now() > HANG_US) {
    std::fprintf(stderr,
                 "cassard still busy after %llu s of virtual time and %ld line operations\n",
                 static_cast<unsigned long long>(s.line.now() / 1'000'000), s.ops);
    std::abort();
  }
}

std::vector<uint8_t> answerFrame(uint8_t num, uint8_t letter, std::span<const uint8_t> data,
                                 bool damageChecksum) {
  std::vector<uint8_t> out = vline::registerFrame(num, letter, data);
  if (damageChecksum) out.back() ^= 0x5a;
  return out;
}

std::vector<HostEvent> hostEvents(std::span<const uint8_t> w) {
  std::vector<HostEvent> events;
  std::size_t i = 0;
  while (i < w.size()) {
    if (w[i] == DLE && i + 1 < w.size() && w[i + 1] == STX) {
      HostEvent e;
      e.kind = HostEvent::Frame;
      uint8_t cs = ETX;
      i += 2;
      bool closed = false;
      while (i < w.size()) {
        if (w[i] == DLE && i + 1 < w.size() && w[i + 1] == DLE) {
          e.body.push_back(DLE);
          cs ^= DLE;
          i += 2;
        } else if (w[i] == DLE && i + 2 < w.size() && w[i + 1] == ETX) {
          e.checksumOk = w[i + 2] == cs;
          i += 3;
          closed = true;
          break;
        } else {
          e.body.push_back(w[i]);
          cs ^= w[i];
          ++i;
        }
      }
      if (!closed) e.checksumOk = false;
      events.push_back(std::move(e));
      continue;
    }
    HostEvent e;
    e.byte = w[i++];
    events.push_back(std::move(e));
  }
  return events;
}

void Obliging::onWrite(std::span<const uint8_t> written) {
  for (const HostEvent& e : hostEvents(written)) {
    if (e.kind == HostEvent::Byte) {
      if (e.byte == RSTA) arrive({0x00});
      if (e.byte == NACK && !last.empty()) arrive(last);
      continue;
    }
    if (!e.checksumOk || e.body.size() < 5) {
      arrive({NACK});
      continue;
    }
    arrive({ACK});
    const std::span<const uint8_t> command(e.body.data() + 4, e.body.size() - 4);
    commands.emplace_back(command.begin(), command.end());
    uint8_t letter = 'S';
    std::vector<uint8_t> data{0, 0, 0};
    if (answer) data = answer(command, letter);
    last = answerFrame(num++, letter, data);
    arrive(last);
  }
}

}  // namespace fz

using fz::st;

long portRead(int, uint8_t* buf, std::size_t n) {
  fz::checkNoHang();
  return st().line.read(buf, n);
}

long portWrite(int, const uint8_t* buf, std::size_t n) {
  fz::checkNoHang();
  if (st().failWrites) return 0;
  // The peer may reset the line's state, so it gets its own copy of the bytes.
  const std::vector<uint8_t> bytes(buf, buf + n);
  if (st().peer) st().peer(bytes);
  return static_cast<long>(n);
}

void portPause(unsigned micros) {
  fz::checkNoHang();
  st().line.pause(micros);
}

std::time_t portNow() {
  static const std::time_t calendar = fz::fixedCalendar();
  return calendar;
}

std::uint64_t portMicros() {
  return st().line.now();
}

void portExit(int code) {
  throw fz::Exit{code};
}

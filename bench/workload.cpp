#include "bench/workload.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr uint8_t kStx = 0x02, kEtx = 0x03, kAck = 0x06, kDle = 0x10;

constexpr long long kSalePause = 10'000;
constexpr long long kStepPause = 1'000;

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string singleCommandLines(int lines) {
  // A register that keeps the money takes a surcharge or a discount only on a sale: one
  // item opens it, then each surcharge is taken off again by the discount after it (on
  // the line, then on the subtotal), so the sale never goes below its item.
  static constexpr std::array<const char*, 4> codes = {"07", "06", "07", "05"};
  std::string out = lines > 0 ? sales::line("01", "BANCO", "100000", "01") : "";
  for (int i = 1; i < lines; ++i) {
    char amount[10];
    std::snprintf(amount, sizeof amount, "%d", 100 + ((i - 1) / 2 * 37) % 90000);
    out += sales::line(codes[static_cast<std::size_t>(i - 1) % codes.size()], "", amount);
  }
  return out;
}

std::string receiptLines(int lines) {
  std::string out;
  int inReceipt = 0;
  for (int i = 0; i < lines; ++i) {
    const bool last = i == lines - 1;
    // A receipt always ends with its payment, even when the file ends early.
    const int step = last && inReceipt > 0 ? 4 : inReceipt;
    switch (step) {
      case 0:
        out += sales::line("00", "", "2500");
        break;
      case 1:
        out += sales::line("01", "PANE INTEGRALE", "1250", "03");
        break;
      case 2:
        out += sales::line("02");
        break;
      case 3:
        out += sales::line("01", "ACQUA MINERALE 1.5L", "350", "");
        break;
      default:
        out += sales::line("10", "", "5000");
        break;
    }
    inReceipt = step == 4 ? 0 : step + 1;
  }
  return out;
}

long long pauseFloorMicros(std::string_view salesFile) {
  long long total = 0;
  while (!salesFile.empty()) {
    const std::size_t end = salesFile.find('\n');
    const std::string_view line = salesFile.substr(0, end);
    salesFile = end == std::string_view::npos ? std::string_view{} : salesFile.substr(end + 1);
    if (line.size() < 2) continue;
    const std::string_view code = line.substr(0, 2);
    if (code == "01") {
      total += 3 * kSalePause;
    } else if (code == "51" || code == "52" || code == "HL" || code == "1C" || code == "2C" ||
               code == "3C") {
      total += kStepPause;
    } else if (code == "55") {
      total += 2 * kSalePause;
    } else if (code == "53" || code == "54" || code == "60") {
      total += kSalePause;
    }
  }
  return total;
}

std::vector<long> runSteps(std::string_view salesFile, std::size_t commands) {
  constexpr long C = kCommand;
  struct Steps {
    std::string_view code;
    std::vector<long> steps;
  };
  static const std::vector<Steps> table = {
      {"00", {}},     {"02", {}},
      {"05", {C}},    {"06", {C}},
      {"07", {C}},    {"10", {C, C}},
      {"11", {C, C}}, {"01", {kSalePause, C, kSalePause, C, kSalePause}},
  };
  std::vector<long> lineSteps;
  while (!salesFile.empty()) {
    const std::size_t end = salesFile.find('\n');
    const std::string_view line = salesFile.substr(0, end);
    salesFile = end == std::string_view::npos ? std::string_view{} : salesFile.substr(end + 1);
    if (line.size() < 2) continue;
    const auto row = std::find_if(table.begin(), table.end(),
                                  [&](const Steps& s) { return s.code == line.substr(0, 2); });
    if (row == table.end()) return {};
    lineSteps.insert(lineSteps.end(), row->steps.begin(), row->steps.end());
  }
  const auto fromLines =
      static_cast<std::size_t>(std::count(lineSteps.begin(), lineSteps.end(), C));
  if (commands < fromLines + 1) return {};
  std::vector<long> steps(commands - fromLines - 1, C);  // start-up
  steps.insert(steps.end(), lineSteps.begin(), lineSteps.end());
  steps.push_back(C);  // the closing command
  return steps;
}

Bytes hostFrame(uint8_t num, std::span<const uint8_t> command) {
  Bytes f{kDle, kStx};
  uint8_t sum = kEtx;
  auto body = [&](uint8_t b) {
    f.push_back(b);
    if (b == kDle) f.push_back(kDle);
    sum ^= b;
  };
  body(num);
  body(0);
  body(0);
  body(0);
  for (uint8_t b : command) body(b);
  f.push_back(kDle);
  f.push_back(kEtx);
  f.push_back(sum);
  return f;
}

std::size_t AnswerCollector::feed(std::span<const uint8_t> bytes) {
  std::size_t used = 0;
  for (uint8_t b : bytes) {
    if (state_ == State::Done) break;
    ++used;
    switch (state_) {
      case State::AnswerByte:
        if (b == kAck) {
          state_ = State::FrameDle;
        } else if (b == kDle) {
          state_ = State::FrameStx;  // the frame came without an ACK before it
        } else {
          refused_ = true;
          state_ = State::Done;
        }
        break;
      case State::FrameDle:
        if (b == kDle) state_ = State::FrameStx;
        break;
      case State::FrameStx:
        state_ = b == kStx ? State::Body : State::FrameDle;
        break;
      case State::Body:
        if (b == kDle) state_ = State::BodyDle;
        break;
      case State::BodyDle:
        state_ = b == kEtx ? State::Checksum : State::Body;
        break;
      case State::Checksum:
        state_ = State::Done;
        break;
      case State::Done:
        break;
    }
  }
  return used;
}

std::vector<Bytes> executedCommands(std::string_view record, int& marked) {
  std::vector<Bytes> out;
  marked = 0;
  while (!record.empty()) {
    const std::size_t end = record.find('\n');
    const std::string_view line = record.substr(0, end);
    record = end == std::string_view::npos ? std::string_view{} : record.substr(end + 1);
    if (line.empty()) continue;
    if (line.find(' ') != std::string_view::npos) {
      ++marked;
      continue;
    }
    Bytes cmd;
    bool ok = line.size() % 2 == 0;
    for (std::size_t i = 0; ok && i < line.size(); i += 2) {
      const int hi = nibble(line[i]), lo = nibble(line[i + 1]);
      ok = hi >= 0 && lo >= 0;
      cmd.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    if (ok)
      out.push_back(std::move(cmd));
    else
      ++marked;
  }
  return out;
}

}  // namespace bench

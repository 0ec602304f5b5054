#include "support/scripted_ecr.h"

#include "protocol/ProtocolDef.h"
#include "tests/support/virtual_line.h"

namespace {
constexpr int SILENCE = -1;
}

ScriptedEcr::ScriptedEcr() {
  fake::setPeer(this);
}
ScriptedEcr::~ScriptedEcr() {
  fake::setPeer(nullptr);
}

std::vector<std::vector<uint8_t>> ScriptedEcr::realCommands() const {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& c : commands)
    if (!(c.size() == 1 && c[0] == 'I')) out.push_back(c);
  return out;
}

std::vector<uint8_t> ScriptedEcr::frame(uint8_t num, uint8_t letter, std::span<const uint8_t> data,
                                        uint8_t id) {
  return vline::registerFrame(num, letter, data, id);
}

void ScriptedEcr::onWrite(std::span<const uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    if (!inFrame_) {
      if (b == DLE && i + 1 < bytes.size() && bytes[i + 1] == STX) {
        inFrame_ = true;
        rx_.clear();
        ++i;
      } else if (b == RSTA) {
        ++rstaCount;
        int s = status;
        if (!statuses.empty()) {
          s = statuses.front();
          statuses.pop_front();
        }
        if (s >= 0 && s <= 0xff) fake::arrive({static_cast<uint8_t>(s)});
      } else if (b == RSTAE) {
        ++rstaeCount;
        const auto st = static_cast<uint8_t>(status & 0xff);
        const auto num = static_cast<uint8_t>(lastHostNum_ < 0 ? 0xff : lastHostNum_);
        if (extStatus) fake::arrive({3, st, num, static_cast<uint8_t>(3 ^ st ^ num)});
      } else if (b == ACK) {
        ++hostAcks;
      } else if (b == NACK) {
        ++hostNacks;
        if (!lastAnswer_.empty()) fake::arrive(lastAnswer_);
      } else if (b == SKIP) {
        ++hostSkips;
      }
      continue;
    }
    // Inside a host frame: unstuff up to DLE ETX, then the checksum byte.
    if (b == DLE && i + 1 < bytes.size()) {
      const uint8_t next = bytes[++i];
      if (next == DLE) {
        rx_.push_back(DLE);
        continue;
      }
      if (next == ETX && i + 1 < bytes.size()) {
        const uint8_t cs = bytes[++i];
        uint8_t x = ETX;
        for (uint8_t v : rx_) x ^= v;
        inFrame_ = false;
        onHostFrame(rx_, x == cs);
        continue;
      }
      inFrame_ = false;  // malformed: drop it
      ++badFrames;
      fake::arrive({NACK});
      continue;
    }
    rx_.push_back(b);
  }
}

void ScriptedEcr::onHostFrame(std::span<const uint8_t> body, bool checksumOk) {
  if (!checksumOk || body.size() < 4) {
    ++badFrames;
    fake::arrive({NACK});
    return;
  }
  int answerByte = ACK;
  if (!answerBytes.empty()) {
    answerByte = answerBytes.front();
    answerBytes.pop_front();
  }
  if (answerByte == SILENCE) return;
  if (answerByte != ACK) {
    fake::arrive({static_cast<uint8_t>(answerByte)});
    return;
  }
  fake::arrive({ACK});

  const int num = body[0];
  if (num == lastHostNum_) return;  // a repeat: acknowledged, not executed twice
  lastHostNum_ = num;
  const std::vector<uint8_t> command(body.begin() + 4, body.end());
  commands.push_back(command);

  if (!rawAnswerFrames.empty()) {
    lastAnswer_ = rawAnswerFrames.front();
    rawAnswerFrames.pop_front();
    if (!lastAnswer_.empty()) fake::arrive(lastAnswer_);
    return;
  }
  EcrAnswer a;
  if (!answers.empty()) {
    a = answers.front();
    answers.pop_front();
  } else if (responder) {
    a = responder(command);
  } else {
    a = {'S', {0, 0, saleOpen}};
  }
  lastAnswer_ = frame(nextNum++, a.letter, a.data, frameId);
  fake::arrive(lastAnswer_);
}

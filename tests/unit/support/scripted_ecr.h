// A register for the unit tests: it answers RSTA with status bytes, takes command
// frames (checksum checked, repeats not executed twice), answers each with its
// answer byte and an answer frame of its own numbering, and resends on NACK.
// Construct one per test after fake::reset(); it installs itself as the peer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "support/fake_port.h"

struct EcrAnswer {
  uint8_t letter = 'S';
  std::vector<uint8_t> data;
};

class ScriptedEcr : public fake::Peer {
 public:
  ScriptedEcr();
  ~ScriptedEcr() override;

  // ---- what it received
  // Every command frame taken (good checksum, not a repeat), decoded: letter first.
  std::vector<std::vector<uint8_t>> commands;
  // Commands without the 'I' requests the link sends while it waits.
  std::vector<std::vector<uint8_t>> realCommands() const;
  int rstaCount = 0;  // RSTA bytes received
  int badFrames = 0;  // frames refused for their checksum
  int hostAcks = 0;   // ACK replies to its answer frames
  int hostNacks = 0;  // NACK replies
  int hostSkips = 0;  // SKIP replies

  // ---- how it answers
  // Status bytes for the next RSTAs, in order; then `status`. A value above 0xff
  // means silence for that RSTA.
  std::deque<int> statuses;
  int status = 0x00;
  // RSTAE: count 3, the status, the Num of the last frame taken (0xFF before any), and
  // a byte that makes the XOR of the three 3. Without extStatus it stays silent.
  bool extStatus = true;
  int rstaeCount = 0;

  // Answer bytes for the next command frames, in order (e.g. NACK, SKIP, ERR, or
  // -1 for silence); then ACK. A NACK, SKIP or ERR frame is not executed.
  std::deque<int> answerBytes;

  // Answers for the next executed commands, in order; when none is queued the
  // responder decides, and without a responder the answer is 'S' {0, 0, saleOpen}.
  std::deque<EcrAnswer> answers;
  std::function<EcrAnswer(std::span<const uint8_t> command)> responder;
  uint8_t saleOpen = 0;

  // Answer frames to send instead of the proper one, raw bytes on the wire, for
  // the next executed commands (an empty vector: no answer frame at all).
  std::deque<std::vector<uint8_t>> rawAnswerFrames;

  uint8_t nextNum = 1;  // sequence number of its next answer frame
  uint8_t frameId = 0;  // ID byte of its answer frames

  void queue(uint8_t letter, std::vector<uint8_t> data) {
    answers.push_back({letter, std::move(data)});
  }

  // An answer frame as it goes on the wire (stuffed, with checksum).
  static std::vector<uint8_t> frame(uint8_t num, uint8_t letter, std::span<const uint8_t> data,
                                    uint8_t id = 0);

  void onWrite(std::span<const uint8_t> bytes) override;

 private:
  void onHostFrame(std::span<const uint8_t> body, bool checksumOk);
  std::vector<uint8_t> rx_;  // host frame being collected, stuffed bytes
  bool inFrame_ = false;
  int lastHostNum_ = -1;
  std::vector<uint8_t> lastAnswer_;
};

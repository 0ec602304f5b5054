// The simulated register: bytes from the host in, bytes to the host out, no I/O.
//
// It answers RSTA with its status byte and RSTAE with a counted reply; it takes
// command frames (stuffing removed, checksum checked, a repeated frame acknowledged
// but not executed twice), answers each with ACK and an answer frame of its own
// numbering, sends that frame again when the host replies NACK, and answers the
// host's 'I' request with the answer still pending or with an 'I' frame.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "simulator/faults.h"
#include "simulator/profile.h"
#include "simulator/till.h"
#include "simulator/wire.h"

namespace ecrsim {

// Something to write on the line, after a pause; or the order to drop the line.
struct Chunk {
  Bytes bytes;
  unsigned delayMs = 0;
  bool hangup = false;
};

// A command the register executed, for the paper roll.
struct Executed {
  std::span<const uint8_t> command;  // letter first
  uint8_t answerLetter = 0;
  std::span<const uint8_t> answerData;  // the answer's data, letter not included
  bool saleOpened = false;
  bool saleClosed = false;
  unsigned receipt = 0;              // number of the receipt just closed
  const KeyOutcome* keys = nullptr;  // what a keyboard command did to the sale
  const Till* till = nullptr;        // its key table, for the names of the keys
};

class Register {
 public:
  Register(Profile profile, std::vector<Fault> faults);

  // Takes what the host wrote and returns what the register writes back, in order.
  std::vector<Chunk> feed(std::span<const uint8_t> in);

  // The host closed the line: a new host starts a new conversation. The register
  // keeps its sales, receipts, journal and faults.
  void hostGone();

  // Faults armed while it runs. A state fault without a target holds from now; an
  // event is counted from now.
  void arm(const Fault& f);
  // Disarms every fault and ends a dead, critical or busy spell.
  void clearFaults();
  // The register as it was built: its profile's state and first faults, counts at 0.
  void reset();
  // The faults still armed, as written.
  std::vector<std::string> armedFaults() const;
  // Keys a person presses on the register's own keyboard (the keys of an 'A' command,
  // without the letter): the sale changes as the host's would, the roll prints it, the
  // line sees nothing. What the keys did, a refusal included. While a host holds the
  // line (`hostHolds`) the register takes none of them: they are refused with 'K', and
  // the host's next command is answered 'S' [0, 'K', open] instead of being executed.
  KeyOutcome byHand(std::span<const uint8_t> keys, bool hostHolds);
  // A person cancels the open sale (Till::cancel), held off by a host as byHand is.
  KeyOutcome voidByHand(bool hostHolds);
  // Keys were pressed while the host held the line; its next command will hear of it.
  bool keysPressed() const { return keysPressed_; }

  // One call per frame received: mark "" for a command executed, else why it was not
  // ("BAD ", "REP ", "NACK ", "SKIP ", "ERR ", "SILENT ", "DEAD ", "HANGUP ").
  std::function<void(std::string_view mark, std::span<const uint8_t> command)> onFrame;
  std::function<void(const Executed&)> onExecuted;

  bool saleOpen() const { return till_.open(); }
  const Till& till() const { return till_; }
  unsigned receiptNumber() const { return profile_.receiptNumber; }
  std::string receiptText() const { return ecrsim::receiptText(profile_); }
  unsigned commands() const { return commandCount_; }
  unsigned runCommands() const { return runCount_; }
  unsigned badFrames() const { return badFrames_; }
  const Profile& profile() const { return profile_; }

 private:
  enum class Rx { Idle, Dle, Body, BodyDle, Checksum };

  struct OutFrame {
    Bytes data;  // answer letter first
    uint8_t num = 0;
    unsigned damagedSends = 0;  // sends still to go out with a bad checksum
  };

  struct Answer {
    uint8_t letter = 'E';
    Bytes data;
  };

  void byteIn(uint8_t b, std::vector<Chunk>& out);
  // What the faults hitting a command do to its answer.
  struct AnswerFaults {
    bool eAnswer = false, lose = false;
    const Fault* refusal = nullptr;
    const Fault* journalState = nullptr;
    unsigned stray = 0, damaged = 0, shortBy = 0, noiseMs = 0, lateMs = 0;
  };

  // A whole frame came in: the steps below, in order.
  void frameEnd(uint8_t checksum, std::vector<Chunk>& out);
  void refuseDamaged(std::span<const uint8_t> cmd, std::vector<Chunk>& out);
  void answerAgain(std::span<const uint8_t> cmd, std::vector<Chunk>& out);
  void answerIRequest(uint8_t num, std::span<const uint8_t> cmd, std::vector<Chunk>& out);
  unsigned delayOf() const;
  bool linkFaultRefuses(uint8_t num, std::span<const uint8_t> cmd, unsigned delay,
                        std::vector<Chunk>& out);
  AnswerFaults answerFaults() const;
  Answer answerFor(std::span<const uint8_t> cmd, const AnswerFaults& fx, Executed& ev,
                   std::string_view& mark);
  void startStateFaults();
  void sendAnswer(Answer answer, const AnswerFaults& fx, unsigned delay, std::vector<Chunk>& out);
  void heldByHost(KeyOutcome::What what);
  void hostReply(uint8_t b, std::vector<Chunk>& out);
  uint8_t statusByte();
  Bytes frameBytes(OutFrame& f);
  OutFrame newFrame(Answer a);
  Answer execute(std::span<const uint8_t> cmd, Executed& ev);
  Answer saleAnswer() const;
  Answer expansion(std::span<const uint8_t> cmd);
  void record(std::string_view mark, std::span<const uint8_t> cmd) {
    if (onFrame) onFrame(mark, cmd);
  }
  // Counts how often fault i has hit the current command; resets for a new one.
  unsigned& firedFor(std::size_t i);
  // Decides, once per new command, which faults hit it.
  void aimFaults(std::span<const uint8_t> cmd);
  bool hits(std::size_t i) const { return hits_[i]; }
  unsigned nextReceipt() const { return profile_.receiptNumber % 9999 + 1; }

  Profile start_;
  std::vector<Fault> startFaults_;
  Profile profile_;
  std::vector<Fault> faults_;
  std::vector<unsigned> fired_;
  std::vector<unsigned> firedIndex_;
  std::vector<unsigned> seen_;     // events of its kind seen since fault i was armed
  std::vector<unsigned> boundTo_;  // the command an event or a number aimed it at; 0 none
  std::vector<bool> hits_;
  Till till_;
  KeyOutcome keys_;  // the last keyboard command's outcome, for the roll
  unsigned runCount_ = 0;

  Rx rx_ = Rx::Idle;
  Bytes body_;
  bool bodyBad_ = false;

  int lastTaken_ = -1;   // Num of the last frame taken; -1 before any
  Bytes lastBody_;       // its body, to tell a repetition from a new host's frame
  int refusedNum_ = -1;  // Num of a frame refused by a fault, to know its resend
  uint8_t nextNum_ = 1;  // its first answer frame of a conversation never carries 0
  std::optional<OutFrame> last_;
  bool pending_ = false;        // last_ not yet acknowledged by the host
  bool awaitingReply_ = false;  // last_ was sent and the host's reply byte is due
  unsigned commandCount_ = 0;
  unsigned currentIndex_ = 0;

  unsigned criticalPolls_ = 0;
  unsigned busyPolls_ = 0;
  unsigned framePolls_ = 0;  // status requests still to be answered with a frame
  unsigned dlePolls_ = 0;    // ... with a lone DLE
  bool dead_ = false;
  bool keysPressed_ = false;  // a person's keys while a host held the line

  std::size_t journalPos_ = 0;
  unsigned badFrames_ = 0;
};

}  // namespace ecrsim

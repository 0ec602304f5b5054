#include "simulator/model.h"

#include <algorithm>

namespace ecrsim {

namespace {

// Longest body it accepts: header, letter and 255 data bytes with room to spare. A
// longer run without DLE ETX is noise, not a command.
constexpr std::size_t kMaxBody = 512;

constexpr uint8_t kStrayByte = 0x55;
// The outcome of an 'S' answer that tells the host keys were pressed on the register.
constexpr uint8_t kKeysPressed = 'K';
constexpr unsigned kNoiseStepMs = 10;  // a noise fault's bytes go out in writes this far apart

// Commands whose answers carry data the host reads by position.
bool answersWithData(uint8_t letter) {
  return letter == 'T' || letter == 'D' || letter == 'C' || letter == 'U';
}

}  // namespace

Register::Register(Profile profile, std::vector<Fault> faults)
    : start_(profile),
      startFaults_(faults),
      profile_(std::move(profile)),
      till_(profile_.keys, profile_.operatorRequired, profile_.decimals,
            profile_.departmentPrices) {
  for (const Fault& f : faults) arm(f);
}

void Register::arm(const Fault& f) {
  faults_.push_back(f);
  fired_.push_back(0);
  firedIndex_.push_back(0);
  seen_.push_back(0);
  boundTo_.push_back(0);
  hits_.push_back(false);
  if (!untargeted(f)) return;
  if (f.kind == FaultKind::Critical) criticalPolls_ += f.arg;
  if (f.kind == FaultKind::Busy) busyPolls_ += f.arg;
  if (f.kind == FaultKind::StaFrame) framePolls_ += f.arg;
  if (f.kind == FaultKind::StaDle) dlePolls_ += f.arg;
  if (f.kind == FaultKind::Dead) dead_ = true;
}

void Register::clearFaults() {
  faults_.clear();
  fired_.clear();
  firedIndex_.clear();
  seen_.clear();
  boundTo_.clear();
  hits_.clear();
  criticalPolls_ = 0;
  busyPolls_ = 0;
  framePolls_ = 0;
  dlePolls_ = 0;
  dead_ = false;
}

void Register::reset() {
  clearFaults();
  hostGone();
  profile_ = start_;
  till_ =
      Till(profile_.keys, profile_.operatorRequired, profile_.decimals, profile_.departmentPrices);
  commandCount_ = 0;
  currentIndex_ = 0;
  journalPos_ = 0;
  badFrames_ = 0;
  for (const Fault& f : startFaults_) arm(f);
}

std::vector<std::string> Register::armedFaults() const {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    const bool spent = (f.event != FaultEvent::None && boundTo_[i] != 0) ||
                       (f.index != 0 && f.index <= commandCount_);
    if (!spent) out.push_back(f.written);
  }
  return out;
}

void Register::aimFaults(std::span<const uint8_t> cmd) {
  const char letter = cmd.empty() ? '\0' : static_cast<char>(cmd[0]);
  const std::span<const uint8_t> keys = letter == 'A' ? cmd.subspan(1) : cmd.subspan(0, 0);
  auto happens = [&](FaultEvent e) {
    switch (e) {
      case FaultEvent::Payment:
        return letter == 'A' && till_.isPayment(keys);
      case FaultEvent::Sale:
        return letter == 'A' && till_.isItemSale(keys);
      case FaultEvent::Receipt:
        return letter == 'A' && till_.wouldClose(keys);
      case FaultEvent::Journal:
        return cmd.size() == 3 && letter == 'U' && cmd[1] == 0 && cmd[2] == 10;
      case FaultEvent::None:
        break;
    }
    return false;
  };
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    if (f.event != FaultEvent::None) {
      if (boundTo_[i] == 0 && happens(f.event) && ++seen_[i] == f.nth) boundTo_[i] = currentIndex_;
      hits_[i] = boundTo_[i] == currentIndex_;
    } else if (f.run != 0) {
      hits_[i] = f.run == runCount_;
    } else {
      hits_[i] = faultHits(f, currentIndex_, letter);
    }
  }
}

void Register::hostGone() {
  rx_ = Rx::Idle;
  body_.clear();
  lastTaken_ = -1;
  refusedNum_ = -1;
  nextNum_ = 1;
  keysPressed_ = false;
  last_.reset();
  pending_ = false;
  awaitingReply_ = false;
  runCount_ = 0;
}

std::vector<Chunk> Register::feed(std::span<const uint8_t> in) {
  std::vector<Chunk> out;
  for (uint8_t b : in) byteIn(b, out);
  // Whatever goes out without a pause goes in one write.
  std::vector<Chunk> merged;
  for (Chunk& c : out) {
    if (!merged.empty() && c.delayMs == 0 && !c.hangup && !merged.back().hangup) {
      merged.back().bytes.insert(merged.back().bytes.end(), c.bytes.begin(), c.bytes.end());
    } else {
      merged.push_back(std::move(c));
    }
  }
  return merged;
}

uint8_t Register::statusByte() {
  if (criticalPolls_ > 0) {
    --criticalPolls_;
    return kStatusCritical;
  }
  if (busyPolls_ > 0) {
    --busyPolls_;
    return kStatusBusy;
  }
  return profile_.idleStatus;
}

void Register::byteIn(uint8_t b, std::vector<Chunk>& out) {
  if (dead_) return;
  switch (rx_) {
    case Rx::Idle:
      if (b == kDle) {
        rx_ = Rx::Dle;
      } else if (b == kRsta && framePolls_ > 0) {
        --framePolls_;
        const Bytes data{'S', 0, 0, static_cast<uint8_t>(till_.open() ? 1 : 0)};
        out.push_back({encodeFrame(nextNum_++, profile_.frameId, 0, 0, data)});
      } else if (b == kRsta && dlePolls_ > 0) {
        --dlePolls_;
        out.push_back({{kDle}});
      } else if (b == kRsta) {
        out.push_back({{statusByte()}});
      } else if (b == kRstae) {
        // Count, then status, the Num of the last frame taken and a byte that makes
        // the XOR of the three equal the count. Before any frame, the Num before a
        // host's first (0): 0xFF.
        uint8_t st = criticalPolls_ ? kStatusCritical
                     : busyPolls_   ? kStatusBusy
                                    : profile_.idleStatus;
        uint8_t num = lastTaken_ < 0 ? 0xFF : static_cast<uint8_t>(lastTaken_);
        out.push_back({{3, st, num, static_cast<uint8_t>(3 ^ st ^ num)}});
      } else if (b == kAck || b == kNack || b == kSkip) {
        hostReply(b, out);
      }
      break;
    case Rx::Dle:
      if (b == kStx) {
        body_.clear();
        bodyBad_ = false;
        rx_ = Rx::Body;
      } else if (b != kDle) {
        rx_ = Rx::Idle;
      }
      break;
    case Rx::Body:
      if (b == kDle) {
        rx_ = Rx::BodyDle;
      } else if (body_.size() < kMaxBody) {
        body_.push_back(b);
      } else {
        bodyBad_ = true;
      }
      break;
    case Rx::BodyDle:
      if (b == kDle) {
        if (body_.size() < kMaxBody) body_.push_back(b);
        rx_ = Rx::Body;
      } else if (b == kEtx) {
        rx_ = Rx::Checksum;
      } else if (b == kStx) {
        // A new frame begins: the host gave up the one before.
        body_.clear();
        bodyBad_ = false;
        rx_ = Rx::Body;
      } else {
        // A lone DLE inside a body: the sender did not double it.
        bodyBad_ = true;
        rx_ = Rx::Body;
      }
      break;
    case Rx::Checksum:
      rx_ = Rx::Idle;
      frameEnd(b, out);
      break;
  }
}

void Register::hostReply(uint8_t b, std::vector<Chunk>& out) {
  if (!awaitingReply_ || !last_) return;
  if (b == kAck) {
    pending_ = false;
    awaitingReply_ = false;
  } else if (b == kNack) {
    out.push_back({frameBytes(*last_)});
  } else {
    // SKIP: not taken now; it stays pending for the next 'I' request.
    awaitingReply_ = false;
  }
}

Bytes Register::frameBytes(OutFrame& f) {
  Bytes bytes = encodeFrame(f.num, profile_.frameId, 0, 0, f.data);
  if (f.damagedSends > 0) {
    --f.damagedSends;
    bytes.back() ^= 0xff;
  }
  awaitingReply_ = true;
  return bytes;
}

Register::OutFrame Register::newFrame(Answer a) {
  OutFrame f;
  f.data.reserve(a.data.size() + 1);
  f.data.push_back(a.letter);
  for (uint8_t b : a.data) f.data.push_back(b);
  f.num = nextNum_++;
  return f;
}

unsigned& Register::firedFor(std::size_t i) {
  if (firedIndex_[i] != currentIndex_) {
    firedIndex_[i] = currentIndex_;
    fired_[i] = 0;
  }
  return fired_[i];
}

void Register::frameEnd(uint8_t checksum, std::vector<Chunk>& out) {
  std::span<const uint8_t> cmd;
  if (body_.size() > 4) cmd = std::span<const uint8_t>(body_).subspan(4);
  if (bodyBad_ || body_.size() < 4 || checksum != frameChecksum(body_))
    return refuseDamaged(cmd, out);
  const uint8_t num = body_[0];
  if (lastTaken_ >= 0 && num == lastTaken_ && body_ == lastBody_) return answerAgain(cmd, out);
  if (cmd.size() == 1 && cmd[0] == 'I') return answerIRequest(num, cmd, out);

  // A frame refused by a fault comes back under the same Num: the same command, not
  // counted twice.
  if (refusedNum_ < 0 || num != refusedNum_) {
    currentIndex_ = ++commandCount_;
    ++runCount_;
    aimFaults(cmd);
  }
  const unsigned delay = delayOf();
  if (linkFaultRefuses(num, cmd, delay, out)) return;

  lastTaken_ = num;
  lastBody_ = body_;
  refusedNum_ = -1;
  const AnswerFaults fx = answerFaults();
  Executed ev;
  ev.command = cmd;
  ev.till = &till_;
  std::string_view mark;
  Answer answer = answerFor(cmd, fx, ev, mark);
  ev.answerData = answer.data;
  startStateFaults();
  record(mark, cmd);
  if (onExecuted) onExecuted(ev);
  sendAnswer(std::move(answer), fx, delay, out);
}

void Register::refuseDamaged(std::span<const uint8_t> cmd, std::vector<Chunk>& out) {
  ++badFrames_;
  record("BAD ", cmd);
  out.push_back({{kNack}});
}

void Register::answerAgain(std::span<const uint8_t> cmd, std::vector<Chunk>& out) {
  // The host did not see our ACK and sent the frame again: acknowledge it, do not
  // execute it twice, and repeat its answer. A different body under the same Num is a
  // new host that began its count again before we saw the line close.
  record("REP ", cmd);
  Bytes b{kAck};
  if (last_) {
    Bytes f = frameBytes(*last_);
    b.insert(b.end(), f.begin(), f.end());
  }
  out.push_back({std::move(b)});
}

void Register::answerIRequest(uint8_t num, std::span<const uint8_t> cmd, std::vector<Chunk>& out) {
  lastTaken_ = num;
  lastBody_ = body_;
  refusedNum_ = -1;
  record("", cmd);
  if (!pending_ || !last_) {
    last_ = newFrame({'I', {}});
    pending_ = true;
  }
  Bytes b{kAck};
  Bytes f = frameBytes(*last_);
  b.insert(b.end(), f.begin(), f.end());
  out.push_back({std::move(b)});
}

unsigned Register::delayOf() const {
  unsigned delay = 0;
  for (std::size_t i = 0; i < faults_.size(); ++i)
    if (faults_[i].kind == FaultKind::Delay && hits(i)) delay += faults_[i].arg;
  return delay;
}

bool Register::linkFaultRefuses(uint8_t num, std::span<const uint8_t> cmd, unsigned delay,
                                std::vector<Chunk>& out) {
  // Faults of the link come first: they decide whether the frame is taken at all.
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    if (!hits(i)) continue;
    switch (f.kind) {
      case FaultKind::Dead:
        if (untargeted(f)) break;
        dead_ = true;
        record("DEAD ", cmd);
        return true;
      case FaultKind::Hangup:
        record("HANGUP ", cmd);
        out.push_back({{}, delay, true});
        return true;
      case FaultKind::Silent:
      case FaultKind::Nack:
      case FaultKind::Skip:
      case FaultKind::Err: {
        unsigned& n = firedFor(i);
        if (n >= f.arg) break;
        ++n;
        refusedNum_ = num;
        static constexpr std::string_view kMarks[] = {"NACK ", "SKIP ", "ERR ", "SILENT "};
        const std::size_t k = f.kind == FaultKind::Nack   ? 0
                              : f.kind == FaultKind::Skip ? 1
                              : f.kind == FaultKind::Err  ? 2
                                                          : 3;
        record(kMarks[k], cmd);
        if (f.kind == FaultKind::Silent) return true;
        const uint8_t byte = k == 0 ? kNack : k == 1 ? kSkip : kErr;
        out.push_back({{byte}, delay});
        return true;
      }
      default:
        break;
    }
  }
  return false;
}

Register::AnswerFaults Register::answerFaults() const {
  AnswerFaults fx;
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    if (!hits(i)) continue;
    switch (f.kind) {
      case FaultKind::EAnswer:
        fx.eAnswer = true;
        break;
      case FaultKind::Refuse:
        fx.refusal = &f;
        break;
      case FaultKind::Lose:
        fx.lose = true;
        break;
      case FaultKind::Stray:
        fx.stray += f.arg;
        break;
      case FaultKind::BadSum:
        fx.damaged += f.arg;
        break;
      case FaultKind::Short:
        fx.shortBy += f.arg;
        break;
      case FaultKind::Noise:
        fx.noiseMs += f.arg;
        break;
      case FaultKind::Late:
        fx.lateMs += f.arg;
        break;
      case FaultKind::Journal:
        fx.journalState = &f;
        break;
      default:
        break;
    }
  }
  return fx;
}

Register::Answer Register::answerFor(std::span<const uint8_t> cmd, const AnswerFaults& fx,
                                     Executed& ev, std::string_view& mark) {
  // Keys a person pressed while the host held the line: its next command is answered
  // with that, not executed, and the sale stays as the host left it.
  if (keysPressed_) {
    keysPressed_ = false;
    keys_ = KeyOutcome{};
    keys_.refuse(static_cast<char>(kKeysPressed), "keys pressed on the register");
    ev.keys = &keys_;
    ev.answerLetter = 'S';
    mark = "KEYS ";
    return {'S', {0, kKeysPressed, static_cast<uint8_t>(till_.open())}};
  }
  Answer answer;
  if (fx.eAnswer) {
    answer = {'E', {}};
  } else if (fx.refusal != nullptr) {
    answer = {'S', {0, static_cast<uint8_t>(fx.refusal->arg), static_cast<uint8_t>(till_.open())}};
  } else {
    answer = execute(cmd, ev);
    const bool journalRequest = cmd.size() == 3 && cmd[0] == 'U' && cmd[1] == 0 && cmd[2] == 10;
    if (fx.journalState != nullptr && journalRequest && answer.letter == 'U')
      answer.data = {static_cast<uint8_t>(fx.journalState->arg)};
    // Only ever shortened: cut the tail off rather than resize, which may also grow.
    if (fx.shortBy > 0 && answersWithData(answer.letter)) {
      const std::size_t keep =
          answer.data.size() > fx.shortBy ? answer.data.size() - fx.shortBy : 0;
      answer.data.erase(answer.data.begin() + static_cast<std::ptrdiff_t>(keep), answer.data.end());
    }
  }
  // On the roll a refusal by outcome reads like any other refusal.
  ev.answerLetter = fx.refusal != nullptr ? uint8_t{'E'} : answer.letter;
  return answer;
}

void Register::startStateFaults() {
  // State faults aimed at this command start once it is taken: they meet the host's
  // next status requests.
  for (std::size_t i = 0; i < faults_.size(); ++i) {
    const Fault& f = faults_[i];
    if (untargeted(f) || !hits(i)) continue;
    if (f.kind == FaultKind::Critical) criticalPolls_ += f.arg;
    if (f.kind == FaultKind::Busy) busyPolls_ += f.arg;
    if (f.kind == FaultKind::StaFrame) framePolls_ += f.arg;
    if (f.kind == FaultKind::StaDle) dlePolls_ += f.arg;
  }
}

void Register::sendAnswer(Answer answer, const AnswerFaults& fx, unsigned delay,
                          std::vector<Chunk>& out) {
  last_ = newFrame(std::move(answer));
  last_->damagedSends = fx.damaged;
  pending_ = true;
  awaitingReply_ = false;
  Bytes b{kAck};
  b.insert(b.end(), fx.stray, kStrayByte);
  if (fx.noiseMs > 0 || fx.lateMs > 0) {
    // The ACK goes now; what comes after it waits.
    out.push_back({std::move(b), delay});
    b.clear();
    // A stray byte a millisecond, ten at a time.
    for (unsigned ms = 0; ms < fx.noiseMs; ms += kNoiseStepMs)
      out.push_back({Bytes(std::min(kNoiseStepMs, fx.noiseMs - ms), kStrayByte), kNoiseStepMs});
    delay = fx.lateMs;
  }
  if (!fx.lose) {
    Bytes f = frameBytes(*last_);
    b.insert(b.end(), f.begin(), f.end());
  }
  out.push_back({std::move(b), delay});
}

KeyOutcome Register::byHand(std::span<const uint8_t> keys, bool hostHolds) {
  Bytes cmd{'A'};
  cmd.insert(cmd.end(), keys.begin(), keys.end());
  Executed ev;
  ev.command = cmd;
  ev.till = &till_;
  if (hostHolds) {
    heldByHost(KeyOutcome::What::Other);
    ev.keys = &keys_;
    ev.answerLetter = 'E';
  } else {
    const Answer a = execute(cmd, ev);
    ev.answerLetter = a.letter;
    ev.answerData = a.data;
  }
  if (onExecuted) onExecuted(ev);
  return keys_;
}

KeyOutcome Register::voidByHand(bool hostHolds) {
  if (hostHolds)
    heldByHost(KeyOutcome::What::Void);
  else
    keys_ = till_.cancel();
  Executed ev;
  ev.till = &till_;
  ev.keys = &keys_;
  ev.answerLetter = keys_.refusal != 0 ? 'E' : 'S';
  if (onExecuted) onExecuted(ev);
  return keys_;
}

void Register::heldByHost(KeyOutcome::What what) {
  keysPressed_ = true;
  keys_ = KeyOutcome{};
  keys_.what = what;
  keys_.refuse(static_cast<char>(kKeysPressed), "a host holds the line");
}

Register::Answer Register::saleAnswer() const {
  return {'S', {0, 0, static_cast<uint8_t>(till_.open() ? 1 : 0)}};
}

Register::Answer Register::execute(std::span<const uint8_t> cmd, Executed& ev) {
  const Answer refused{'E', {}};
  if (cmd.empty()) return refused;
  const std::size_t n = cmd.size();
  switch (cmd[0]) {
    case 'A': {
      if (n < 2) return refused;
      keys_ = till_.press(cmd.subspan(1), nextReceipt());
      ev.keys = &keys_;
      if (keys_.refusal == 'E') return refused;
      if (keys_.refusal != 0)
        return {'S', {0, static_cast<uint8_t>(keys_.refusal), static_cast<uint8_t>(till_.open())}};
      ev.saleOpened = keys_.opened;
      if (keys_.closed) {
        ev.saleClosed = true;
        ev.receipt = keys_.receipt.number;
        profile_.receiptNumber = keys_.receipt.number;
        storeReceiptNumber(profile_);
      }
      return saleAnswer();
    }
    case 'O':
      if (n < 2 || cmd[1] > 13) return refused;
      return saleAnswer();
    case 'S':
      if (n != 1) return refused;
      return saleAnswer();
    case 'H':
      if (n != 2 || cmd[1] > 1) return refused;
      // A download starts its journal from the first record.
      if (cmd[1] == 1) journalPos_ = 0;
      return saleAnswer();
    case 'T':
      if (n != 1) return refused;
      return {'T', profile_.ident};
    case 'D': {
      if (n != 4) return refused;
      const std::size_t addr = cmd[1] | cmd[2] << 8;
      const std::size_t count = cmd[3];
      if (addr + count > profile_.memory.size()) return refused;
      return {'D', Bytes(profile_.memory.begin() + addr, profile_.memory.begin() + addr + count)};
    }
    case 'C':
      if (n != 2 || cmd[1] != 3) return refused;
      return {'C', profile_.article};
    case 'U':
      return expansion(cmd);
    default:
      return refused;
  }
}

// The expansion memory's functions ('U' 0 FN ...).
Register::Answer Register::expansion(std::span<const uint8_t> cmd) {
  const Answer refused{'E', {}};
  const std::size_t n = cmd.size();
  if (n < 3 || cmd[1] != 0 || !profile_.em.present) return refused;
  Expansion& em = profile_.em;
  const uint8_t fn = cmd[2];
  if (fn == 19) {
    if (n != 4) return refused;
    const unsigned rec = cmd[3];
    if (rec < 1 || rec > em.totals.size()) return {'U', {1}};
    Bytes data{0};
    data.insert(data.end(), em.totals[rec - 1].begin(), em.totals[rec - 1].end());
    return {'U', data};
  }
  if (n != 3) return refused;
  switch (fn) {
    case 0: {
      Bytes data{em.state};
      data.insert(data.end(), em.init.begin(), em.init.end());
      return {'U', data};
    }
    case 1:
      return {'U', Bytes(em.descriptor.begin(), em.descriptor.end())};
    case 24:
      return {'U', {em.countState}};
    case 10: {
      if (journalPos_ >= em.journal.size()) return {'U', {7}};
      Bytes data{0};
      const Bytes& r = em.journal[journalPos_++];
      data.insert(data.end(), r.begin(), r.end());
      return {'U', data};
    }
    case 20:
      for (Bytes& r : em.totals) std::fill(r.begin(), r.end(), 0);
      return {'U', {0}};
    default:
      return refused;
  }
}

}  // namespace ecrsim

// The register's status byte, the polling before each command, the wait for an
// answer, and the extended status exchange.

#include <array>

#include "protocol/port.h"
#include "protocol/protocol.h"

bool FAwaitingAnswer = false;
bool FNoExtStatus = false;

namespace {

constexpr int STATUS_TRIES = 3;
constexpr int STATUS_POLLS = 10;
constexpr int ANSWER_CYCLES = 4;
constexpr unsigned STATUS_RETRY_PAUSE_US = 1'000'000;
constexpr uint8_t I_REQUEST = 'I';
constexpr int EXT_STATUS_ATTEMPTS = 3;

// Room for the longest frame the register sends, every body byte doubled.
constexpr std::size_t DRAINED_FRAME_MAX = 2 * MP_BODY_LEN + 8;

void writeControl(uint8_t byte, const char* failText) {
  if (portWrite(FOpenPort, &byte, 1) != 1) {
    SetError(MP_E_WRITE, MP_E_WRITE_E);
    ErrorHandle(failText, MP_E_WRITE);
  }
  LogWrite(&byte, 1);
}

// Drains the line before an exchange, or after the DLE of a frame that began where a
// status byte was due (dleRead). While an answer is awaited the frame may be that
// answer, come late: the drained bytes go through the receiver's checks, its reply is
// sent and the wait ends with what it accepts. Otherwise, or when the bytes make no
// frame, they are dropped, and a frame begun is acknowledged as before.
void drainLine(bool dleRead) {
  if (!FAwaitingAnswer || FReadData) {
    if (dleRead)
      DiscardMessage(ACK);
    else
      WaitNoChar();
    return;
  }
  std::array<uint8_t, DRAINED_FRAME_MAX> kept{};
  std::size_t n = 0;
  if (dleRead) kept[n++] = DLE;
  n += DrainLine(std::span<uint8_t>(kept).subspan(n));
  if (!ReplyToDrainedFrame(std::span<const uint8_t>(kept.data(), n)) && dleRead)
    writeControl(ACK, "Errore in write su DiscardMessage");
}

// Polls up to 10 times, stopping at the first status out of the critical state or at
// an answer received instead. False when a poll got no answer at all.
bool pollStatus(long* status) {
  WaitDeadline bound(STATUS_SILENT_US);
  for (int i = 0; i < STATUS_POLLS; ++i) {
    if (!ReadIStatus(status)) return false;
    if (FAwaitingAnswer && FReadData) return true;
    if (!(*status & MP_IS_CRITICAL_ERR)) break;
  }
  return true;
}

// Marks the answer wait for its lifetime.
struct AwaitingAnswer {
  AwaitingAnswer() { FAwaitingAnswer = true; }
  ~AwaitingAnswer() { FAwaitingAnswer = false; }
  AwaitingAnswer(const AwaitingAnswer&) = delete;
  AwaitingAnswer& operator=(const AwaitingAnswer&) = delete;
};

// Before the I request: did the register take the command? An I request would itself
// become its last frame, so this is asked once per wait, before the first one.
// False when it took another frame: the command never reached it.
bool commandTaken(uint8_t num) {
  if (FNoExtStatus) return true;
  switch (AskLastTx(EXT_STATUS_ATTEMPTS, num)) {
    case LastTx::Other:
      return false;
    case LastTx::NoReply:
      // Reported by the exchange; such a register is not asked again in this run.
      FNoExtStatus = true;
      return true;
    default:
      return true;
  }
}

}  // namespace

bool ReadIStatus(long* EcrISt) {
  if (StAut != ST_IDLE) {
    SetError(MP_E_NOT_IDLE, MP_E_NOT_IDLE_E);
    ErrorHandle("Errore non in ST_IDLE in ReadIStatus", -1);
  }
  int frames = 0;
  for (int tries = 0; tries < STATUS_TRIES;) {
    writeControl(RSTA, "Errore in write su ReadIStatus");
    uint8_t b;
    if (!ReadFile(&b, false)) {
      portPause(STATUS_RETRY_PAUSE_US);
      ++tries;
      continue;
    }
    if (b == DLE) {
      // A frame instead of a status byte: take it off the line, and ask afresh with
      // three new tries; but a register that keeps sending frames is not answering.
      drainLine(true);
      if (FAwaitingAnswer && FReadData) {
        SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
        *EcrISt = 0;
        return true;
      }
      if (++frames >= STATUS_FRAMES_MAX) {
        FWaitEnd = WaitEnd::Frames;
        break;
      }
      if (WaitOverdue()) {
        FWaitEnd = WaitEnd::Noise;
        break;
      }
      tries = 0;
      continue;
    }
    SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
    *EcrISt = b;
    return true;
  }
  *EcrISt = MP_NO_STATUS;
  SetError(MP_E_READ, MP_E_READ_E);
  return false;
}

long EcrReset(bool /*Exit*/) {
  FWaitEnd = WaitEnd::Silence;
  long status = 0;
  if (!pollStatus(&status))
    ErrorHandle(WaitFailureText("Mancato collegamento con l'ECR"), ECR_E_NO_DIALOG);
  return (status & MP_IS_CRITICAL_ERR) ? ECR_E_NO_DIALOG : 0;
}

MyBuffer ReadData(long /*Attempt*/) {
  FReadData = false;
  // A wait that ends on an 'I' frame must not hand back an earlier command's answer.
  FAnswer = MyBuffer{};
  FWaitEnd = WaitEnd::Silence;
  AwaitingAnswer awaiting;
  // SendData counted the command's frame already.
  const uint8_t command = static_cast<uint8_t>(FNum - 1);
  bool asked = false;
  for (int cycle = 0; cycle < ANSWER_CYCLES; ++cycle) {
    Automaton(HT_ATTEMPT);
    if (FReadData) {
      SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
      return FAnswer;
    }
    if (FWaitEnd == WaitEnd::Noise) {
      // Bytes kept coming and made no frame: a status byte read now would be one of
      // them. The wait ends as on a silent register.
      SetError(MP_E_CRITICAL, MP_E_NOISE_E);
      return FAnswer;
    }
    long status = 0;
    if (!pollStatus(&status) || (status & MP_IS_CRITICAL_ERR)) {
      SetError(MP_E_CRITICAL, MP_E_CRITICAL_E);
      return FAnswer;
    }
    if (FReadData) {  // the answer came while the status was asked
      SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
      return FAnswer;
    }
    // Bytes already there after the status byte: the receiver reads them first.
    if (ReadBufferPos < ReadBufferLen) continue;
    if (!(status & MP_IS_EXEC_CMD) && (status & (MP_IS_IDLE | MP_IS_IDLE_T))) {
      if (!asked) {
        asked = true;
        if (!commandTaken(command)) {
          SetError(MP_E_FRAME, MP_E_NOT_TAKEN_E);
          return FAnswer;
        }
        if (FReadData) {
          SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
          return FAnswer;
        }
      }
      // An idle register may have lost the answer: ask it for the pending one.
      SendData(1, &I_REQUEST, 1);
    }
  }
  SetError(MP_E_FRAME, MP_E_FRAME_E);
  return FAnswer;
}

LastTx AskLastTx(long Attempt, uint8_t num) {
  WaitDeadline bound(READ_WAIT_SILENT_US);
  for (; Attempt > 0; --Attempt) {
    drainLine(false);
    if (FAwaitingAnswer && FReadData) return LastTx::Taken;  // its answer came meanwhile
    if (StAut != ST_IDLE) {
      SetError(MP_E_NOT_IDLE, MP_E_NOT_IDLE_E);
      ErrorHandle("Errore non in ST_IDLE in TestLastTx", -1);
    }
    writeControl(RSTAE, "Errore in write su TestLastTx");
    uint8_t count;
    if (!ReadFile(&count, true)) {
      ErrorHandle("Stato esteso non supportato", 0);
      return LastTx::NoReply;
    }
    if (count == DLE) {
      drainLine(true);
      if (FAwaitingAnswer && FReadData) return LastTx::Taken;  // its answer, after all
      continue;
    }
    uint8_t x = 0;
    uint8_t second = 0;
    for (int i = 0; i < count; ++i) {
      uint8_t b;
      if (!ReadFile(&b, true)) {
        ErrorHandle("TimeOut su richiesta stato esteso", 0);
        return LastTx::Unclear;
      }
      x ^= b;
      if (i == 1) second = b;
    }
    if (x != count) {
      ErrorHandle("Errore Crc in TestLastTx", 0);
      continue;
    }
    // A reply of fewer than two bytes carries no sequence number to compare.
    if (count < 2) return LastTx::Unclear;
    return second == num ? LastTx::Taken : LastTx::Other;
  }
  ErrorHandle("Max Attempt in TestLastTx", 0);
  return LastTx::Unclear;
}

bool TestLastTx(long Attempt) {
  return AskLastTx(Attempt, FNum) == LastTx::Taken;
}

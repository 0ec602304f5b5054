// The register's status byte, the polling before each command, the wait for an
// answer, and the extended status exchange.

#include "protocol/port.h"
#include "protocol/protocol.h"

namespace {

constexpr int STATUS_TRIES = 3;
constexpr int STATUS_POLLS = 10;
constexpr int ANSWER_CYCLES = 4;
constexpr unsigned STATUS_RETRY_PAUSE_US = 1'000'000;
constexpr uint8_t I_REQUEST = 'I';

void writeControl(uint8_t byte, const char* failText) {
  if (portWrite(FOpenPort, &byte, 1) != 1) {
    SetError(MP_E_WRITE, MP_E_WRITE_E);
    ErrorHandle(failText, MP_E_WRITE);
  }
  LogWrite(&byte, 1);
}

// Polls up to 10 times, stopping at the first status out of the critical state.
// False when a poll got no answer at all.
bool pollStatus(long* status) {
  for (int i = 0; i < STATUS_POLLS; ++i) {
    if (!ReadIStatus(status)) return false;
    if (!(*status & MP_IS_CRITICAL_ERR)) break;
  }
  return true;
}

}  // namespace

bool ReadIStatus(long* EcrISt) {
  if (StAut != ST_IDLE) {
    SetError(MP_E_NOT_IDLE, MP_E_NOT_IDLE_E);
    ErrorHandle("Errore non in ST_IDLE in ReadIStatus", -1);
  }
  for (int tries = 0; tries < STATUS_TRIES;) {
    writeControl(RSTA, "Errore in write su ReadIStatus");
    uint8_t b;
    if (!ReadFile(&b, false)) {
      portPause(STATUS_RETRY_PAUSE_US);
      ++tries;
      continue;
    }
    if (b == DLE) {
      // A frame instead of a status byte: take it off the line, and ask afresh
      // with three new tries.
      DiscardMessage(ACK);
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
  long status = 0;
  if (!pollStatus(&status)) ErrorHandle("Mancato collegamento con l'ECR", ECR_E_NO_DIALOG);
  return (status & MP_IS_CRITICAL_ERR) ? ECR_E_NO_DIALOG : 0;
}

MyBuffer ReadData(long /*Attempt*/) {
  FReadData = false;
  // A wait that ends on an 'I' frame must not hand back an earlier command's answer.
  FAnswer = MyBuffer{};
  for (int cycle = 0; cycle < ANSWER_CYCLES; ++cycle) {
    Automaton(HT_ATTEMPT);
    if (FReadData) {
      SetError(MP_NO_ERRORS, MP_NO_ERRORS_E);
      return FAnswer;
    }
    long status = 0;
    if (!pollStatus(&status) || (status & MP_IS_CRITICAL_ERR)) {
      SetError(MP_E_CRITICAL, MP_E_CRITICAL_E);
      return FAnswer;
    }
    if (!(status & MP_IS_EXEC_CMD) && (status & (MP_IS_IDLE | MP_IS_IDLE_T))) {
      // An idle register may have lost the command: ask it for the pending answer.
      SendData(1, &I_REQUEST, 1);
    }
  }
  SetError(MP_E_FRAME, MP_E_FRAME_E);
  return FAnswer;
}

bool TestLastTx(long Attempt) {
  for (; Attempt > 0; --Attempt) {
    WaitNoChar();
    if (StAut != ST_IDLE) {
      SetError(MP_E_NOT_IDLE, MP_E_NOT_IDLE_E);
      ErrorHandle("Errore non in ST_IDLE in TestLastTx", -1);
    }
    writeControl(RSTAE, "Errore in write su TestLastTx");
    uint8_t count;
    if (!ReadFile(&count, true)) {
      ErrorHandle("Stato esteso non supportato", 0);
      return false;
    }
    if (count == DLE) {
      DiscardMessage(ACK);
      continue;
    }
    uint8_t x = 0;
    uint8_t second = 0;
    for (int i = 0; i < count; ++i) {
      uint8_t b;
      if (!ReadFile(&b, true)) {
        ErrorHandle("TimeOut su richiesta stato esteso", 0);
        return false;
      }
      x ^= b;
      if (i == 1) second = b;
    }
    if (x != count) {
      ErrorHandle("Errore Crc in TestLastTx", 0);
      continue;
    }
    // A reply of fewer than two bytes carries no sequence number to compare.
    return count >= 2 && second == FNum;
  }
  ErrorHandle("Max Attempt in TestLastTx", 0);
  return false;
}

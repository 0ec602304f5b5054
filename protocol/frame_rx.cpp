// Frame reception: the receiver state machine, the reply byte, and the decoding of
// an accepted frame into FAnswer.

#include <algorithm>

#include "protocol/port.h"
#include "protocol/protocol.h"

int StAut = ST_IDLE;
MyTemp FBuffer{};
MyBuffer FAnswer{};
int FLastID = NO_FRAME_ACCEPTED;
bool FReadData = false;

namespace {

// Four header bytes come before the code letter: Num, ID, UF1, UF2.
constexpr int CODE_POS = 4;
constexpr int DATA_POS = 5;

// Warning of a reception that bytes kept alive past its deadline without a frame.
constexpr const char* NOISE_TEXT = "Rumore sulla linea in Automaton";

bool isAnswerLetter(uint8_t c) {
  switch (c) {
    case 'C':
    case 'D':
    case 'E':
    case 'H':
    case 'O':
    case 'S':
    case 'T':
    case 'U':
      return true;
    default:
      return false;
  }
}

void reportFrameError(const char* text) {
  SetError(MP_E_FRAME, MP_E_FRAME_E);
  ErrorHandle(text, 0);
}

void storeBodyByte(uint8_t b) {
  // Bytes past the 205 the record holds still count in the checksum.
  if (FBuffer.Len < MP_BODY_LEN) FBuffer.LogicData[static_cast<std::size_t>(FBuffer.Len++)] = b;
}

// Chooses the reply to a complete frame whose checksum byte was `received`; the line
// is drained before a repetition is acknowledged, unless it was drained already.
uint8_t chooseReply(uint8_t received, uint8_t computed, bool drained) {
  if (received != computed) return NACK;
  if (FBuffer.Len == 0) return SKIP;  // no Num to check, nothing to decode
  if (FBuffer.LogicData[0] == FLastID) {
    // The register did not see our ACK and sent the frame again.
    if (!drained) WaitNoChar();
    return ACK;
  }
  if (FBuffer.Len < DATA_POS) return SKIP;  // no code letter of its own
  if (!UpdateBuffer()) return SKIP;
  FLastID = FBuffer.LogicData[0];
  return ACK;
}

// One byte through the receiver's states; true when it was a frame's checksum byte.
// Stray bytes and broken sequences are warned about when warn is set.
bool receiveByte(uint8_t b, uint8_t& checksum, bool warn) {
  auto frameWarning = [warn](const char* text) {
    if (warn) reportFrameError(text);
  };
  switch (StAut) {
    case ST_IDLE:
      if (b == DLE)
        StAut = ST_RX_DLE;
      else
        frameWarning("Frame error in attesa DLE");
      break;
    case ST_RX_DLE:
      if (b == STX) {
        FBuffer.Len = 0;
        checksum = 0;
        StAut = ST_RX_DATA;
      } else if (b == DLE) {
        frameWarning("Frame error: ricevuto DLE in attesa STX");
      } else {
        StAut = ST_IDLE;
        frameWarning("Frame error in attesa STX");
      }
      break;
    case ST_RX_DATA:
      if (b == DLE) {
        StAut = ST_RX_DLEINT;
      } else {
        storeBodyByte(b);
        checksum ^= b;
      }
      break;
    case ST_RX_DLEINT:
      if (b == ETX) {
        checksum ^= ETX;
        StAut = ST_RX_EOT;
      } else if (b == STX) {  // a new frame starts: forget the bytes before
        FBuffer.Len = 0;
        checksum = 0;
        StAut = ST_RX_DATA;
      } else if (b == DLE) {
        storeBodyByte(DLE);
        checksum ^= DLE;
        StAut = ST_RX_DATA;
      } else {
        StAut = ST_IDLE;
        frameWarning("Frame error in attesa DLE ripetuto");
      }
      break;
    case ST_RX_EOT:
      return true;
    default:
      StAut = ST_IDLE;
      break;
  }
  return false;
}

void sendReply(uint8_t reply) {
  StAut = ST_IDLE;
  if (portWrite(FOpenPort, &reply, 1) != 1) {
    SetError(MP_E_WRITE, MP_E_WRITE_E);
    ErrorHandle("Errore in write su Automaton", MP_E_WRITE);
  }
}

}  // namespace

const char* RxStateName(int state) {
  static constexpr const char* names[] = {"ST_IDLE", "ST_RX_DLE", "ST_RX_DATA", "ST_RX_DLEINT",
                                          "ST_RX_EOT"};
  return state >= ST_IDLE && state <= ST_RX_EOT ? names[state] : "ST_?";
}

MyBuffer StructCopy(const MyTemp& Buffer) {
  MyBuffer out{};
  if (Buffer.Len < DATA_POS) return out;
  out.Num = Buffer.LogicData[0];
  out.ID = 1;
  out.UF1 = Buffer.LogicData[2];
  out.UF2 = Buffer.LogicData[3];
  out.LogicCode = Buffer.LogicData[CODE_POS];
  out.Len = std::min(Buffer.Len - DATA_POS, MP_AOC_LEN);
  std::copy_n(Buffer.LogicData.begin() + DATA_POS, out.Len, out.LogicData.begin());
  return out;
}

bool UpdateBuffer() {
  if (FBuffer.LogicData[CODE_POS] == 'I') {
    FReadData = true;
    // Byte 6 zero marks an inner frame from byte 5 on; only a received byte counts.
    if (FBuffer.Len < DATA_POS + 2 || FBuffer.LogicData[6] != 0) return true;
    std::copy(FBuffer.LogicData.begin() + DATA_POS, FBuffer.LogicData.begin() + FBuffer.Len,
              FBuffer.LogicData.begin());
    FBuffer.Len -= DATA_POS;
    // The wait already has its ending, so even an inner answer is refused below.
    if (FBuffer.Len <= CODE_POS) return false;
  }
  if (!isAnswerLetter(FBuffer.LogicData[CODE_POS]) || FReadData) return false;
  FAnswer = StructCopy(FBuffer);
  FReadData = true;
  return true;
}

void DiscardMessage(uint8_t Answer) {
  WaitNoChar();
  if (portWrite(FOpenPort, &Answer, 1) != 1) {
    SetError(MP_E_WRITE, MP_E_WRITE_E);
    ErrorHandle("Errore in write su DiscardMessage", MP_E_WRITE);
  }
  LogWrite(&Answer, 1);
}

bool ReplyToDrainedFrame(std::span<const uint8_t> bytes) {
  StAut = ST_IDLE;
  uint8_t checksum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!receiveByte(bytes[i], checksum, false)) continue;
    const uint8_t reply = chooseReply(bytes[i], checksum, true);
    sendReply(reply);
    LogWrite(&reply, 1);
    return true;
  }
  StAut = ST_IDLE;
  return false;
}

void Automaton(long Attempt) {
  for (;; --Attempt) {
    if (Attempt <= 0) ErrorHandle("Errore automa in ricezione", MP_E_AUTOMA);

    // Each reception ends by its deadline when bytes keep coming and no frame ends.
    WaitDeadline bound(READ_WAIT_SILENT_US);
    uint8_t checksum = 0;
    uint8_t b = 0;
    bool complete = false;
    while (!complete) {
      if (!ReadFile(&b, true)) {
        StAut = ST_IDLE;
        SetError(MP_E_READ, MP_E_READ_E);
        ErrorHandle("TimeOut ReadFile in Automaton", 0);
        return;
      }
      complete = receiveByte(b, checksum, true);
      if (!complete && WaitOverdue()) {
        StAut = ST_IDLE;
        FWaitEnd = WaitEnd::Noise;
        SetError(MP_E_READ, MP_E_READ_E);
        ErrorHandle(NOISE_TEXT, 0);
        return;
      }
    }

    const uint8_t reply = chooseReply(b, checksum, false);
    sendReply(reply);
    if (Attempt == 2) {
      // The reception after a first NACK is reported, whatever its outcome.
      SetError(MP_E_FRAME, MP_E_FRAME_E);
      ErrorHandle("Frame error spedito NACK o ERR per debug", 0);
    }
    LogWrite(&reply, 1);
    if (reply != NACK) return;
  }
}

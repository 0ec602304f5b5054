// Frame transmission: DLE STX Num ID UF1 UF2 data... DLE ETX checksum, every 0x10 of
// the body doubled; the register answers each frame with one control byte.

#include "protocol/port.h"
#include "protocol/protocol.h"

std::array<uint8_t, FRAME_BUF_LEN> FSBuffer{};
int FSLen = 0;
uint8_t FNum = 0;

namespace {
constexpr unsigned SKIP_PAUSE_US = 1'000'000;  // the register asked us to come back later
}

std::size_t BuildFrame(uint8_t Num, std::span<const uint8_t> Data, std::span<uint8_t> Out) {
  std::size_t len = 0;
  bool fits = true;
  auto put = [&](uint8_t b) {
    if (len < Out.size())
      Out[len++] = b;
    else
      fits = false;
  };
  auto putStuffed = [&](uint8_t b) {
    put(b);
    if (b == DLE) put(DLE);
  };

  uint8_t checksum = Num;
  put(DLE);
  put(STX);
  putStuffed(Num);
  put(0);  // ID
  put(0);  // UF1
  put(0);  // UF2
  for (uint8_t b : Data) {
    putStuffed(b);
    checksum ^= b;
  }
  put(DLE);
  put(ETX);
  put(checksum ^ ETX);  // never doubled, whatever its value
  return fits ? len : 0;
}

void SendChar() {
  const long written = portWrite(FOpenPort, FSBuffer.data(), static_cast<std::size_t>(FSLen));
  if (written != FSLen) {
    SetError(MP_E_WRITE, MP_E_WRITE_E);
    ErrorHandle("Errore in write su SendChar", MP_E_WRITE);
  }
  LogWrite(FSBuffer.data(), FSLen);

  uint8_t answer;
  if (!ReadFile(&answer, true)) {
    SetError(MP_RX_TIMEOUT, MP_RX_TIMEOUT_E);
    ErrorHandle("Rx TimeOut in SendChar", 0);
    return;
  }
  switch (answer) {
    case ACK:
      SetError(MP_RX_ACK, MP_RX_ACK_E);
      break;
    case ERR:
      SetError(MP_RX_ERR, MP_RX_ERR_E);
      break;
    case NACK:
      SetError(MP_RX_NACK, MP_RX_NACK_E);
      break;
    case SKIP:
      SetError(MP_RX_SKIP, MP_RX_SKIP_E);
      break;
    case DLE:
      SetError(MP_RX_DLE, MP_RX_DLE_E);
      break;
    default:
      SetError(MP_RX_UNEXP, MP_RX_UNEXP_E);
      break;
  }
}

bool SendData(long Attempt, const uint8_t* Data, long Length) {
  if (Attempt <= 0 || Length < 0) return false;
  const std::span<const uint8_t> command(Data, static_cast<std::size_t>(Length));
  const std::size_t len = BuildFrame(FNum, command, FSBuffer);
  if (len == 0) FatalError("Comando troppo lungo", -1);
  FSLen = static_cast<int>(len);

  for (; Attempt > 0; --Attempt) {
    SendChar();
    switch (FError) {
      case MP_RX_ACK:
        ++FNum;
        return true;
      case MP_RX_DLE:
        // The register skipped its ACK and began its answer frame at once: hand the
        // DLE back so the receiver sees the frame from its first byte.
        --ReadBufferPos;
        ++FNum;
        return true;
      case MP_RX_UNEXP:
      case MP_RX_TIMEOUT:
        // Taken as delivered; if it was not, the answer wait notices.
        ++FNum;
        return true;
      case MP_RX_NACK:
        break;
      case MP_RX_SKIP:
        portPause(SKIP_PAUSE_US);
        break;
      default:  // MP_RX_ERR: refused for good
        return false;
    }
  }
  return false;
}

#include "support/link_reset.h"

#include <cstring>

#include "driver/records.h"
#include "ecrconf/ecrconf.h"
#include "protocol/process.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"

void resetLink() {
  FOpenPort = 3;  // any descriptor: the fake port does not look at it
  ReadInBuffer.fill(0);
  ReadBufferLen = ReadBufferPos = 0;
  FSBuffer.fill(0);
  FSLen = 0;
  FNum = 0;
  StAut = ST_IDLE;
  FBuffer = MyTemp{};
  FAnswer = MyBuffer{};
  FLastID = NO_FRAME_ACCEPTED;
  FReadData = false;
  TransactionOpened = 0;
  SetError(0, MP_NO_ERRORS_E);
  std::memset(LastCmd, 0, sizeof LastCmd);
  std::memset(Matrix, 0, sizeof Matrix);
  OpenLog();
  FWaitEnd = WaitEnd::Silence;
  FWaitDeadline = 0;
  FAwaitingAnswer = false;
  FNoExtStatus = false;

  tastoqta = KeySeq{};
  tastoreso = 0;
  reparto = 1;
  operatore = 0;
  EcrConf = EcrConfStruct{};
  MAX_DESC_LEN = _DESC_LEN;
  fileo = nullptr;
  SetRunFile(nullptr);
  SetRunLine(0);
  ClearPendingSignal();
}

// One command end to end, and its submission by the driver and the downloads.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/process.h"
#include "protocol/protocol.h"

uint8_t TransactionOpened = 0;
uint64_t CommandsSent = 0;

namespace {

// The longest command a caller may hand over: the letter and 239 payload bytes.
constexpr long MAX_COMMAND_LEN = 240;

void putMessage(AnswerBuffer& psRx, const char* text) {
  std::snprintf(reinterpret_cast<char*>(psRx.data()), psRx.size(), "%s", text);
}

}  // namespace

long DirectIO(const uint8_t* psTx, long pTxLen, AnswerBuffer& psRx, long* pRxLen, long* pStatus) {
  if (pTxLen < 0 || pTxLen > MAX_COMMAND_LEN) FatalError("Comando troppo lungo", -1);
  ++CommandsSent;
  // A signal noted during the last exchange: nothing more goes to the register.
  BeginCommand();

  if (EcrReset(false) == ECR_E_NO_DIALOG) {
    *pStatus = FError;
    putMessage(psRx, ECR_IE_ECR_E);
    *pRxLen = 0;
    return ECR_E_NO_DIALOG;
  }

  if (!SendData(HT_ATTEMPT, psTx, pTxLen)) {
    *pStatus = FError;
    putMessage(psRx, ECR_IE_ECR_S);
    *pRxLen = 0;
    return ECR_IE_SENDDATA;
  }

  const MyBuffer answer = ReadData(HT_ATTEMPT);
  if (FError != 0) FatalError(WaitFailureText("Errore in ReadData"), FError);

  if (answer.LogicCode == 'E') FatalError("Comando non accettato\n", MP_E_SENDCHAR);

  if (answer.LogicCode == 'S') {
    // Bytes a short answer did not deliver count as 0.
    const uint8_t outcome = answer.Len > 1 ? answer.LogicData[1] : 0;
    const bool hasStatus = answer.Len > 2;
    const long status = hasStatus ? signedByte(answer.LogicData[2]) : 0;
    switch (outcome) {
      case 0:
        *pStatus = status;
        if (hasStatus) TransactionOpened = status != 0;
        break;
      case '*':
        putMessage(psRx, ECR_IE_NO_OPERATOR);
        *pStatus = 0;
        *pRxLen = 0;
        return ECR_IE_DATA;
      case '\t':
        putMessage(psRx, ECR_IE_NO_CHANGE);
        *pStatus = 0;
        *pRxLen = 0;
        return ECR_IE_DATA;
      default:
        putMessage(psRx, ECR_IE_BAD_KEY);
        *pStatus = status;
        if (hasStatus) TransactionOpened = status != 0;
        SetError(MP_E_BAD_KEY, MP_E_BAD_KEY_E);
        return ECR_E_BAD_KEY;
    }
  }

  std::copy_n(answer.LogicData.begin(), answer.Len, psRx.begin());
  *pRxLen = answer.Len;
  return ECR_SUCCESS;
}

void txemulaz(const uint8_t* t, long tSize, char tipo) {
  if (tSize < 0 || tSize >= MAX_COMMAND_LEN) FatalError("Comando troppo lungo", -1);
  std::array<uint8_t, MAX_COMMAND_LEN> command{};
  command[0] = static_cast<uint8_t>(tipo);
  if (tSize > 0) std::memcpy(command.data() + 1, t, static_cast<std::size_t>(tSize));

  AnswerBuffer answer{};
  long answerLen = 0;
  long status = 0;
  const long result = DirectIO(command.data(), tSize + 1, answer, &answerLen, &status);
  if (result != ECR_SUCCESS)
    FatalError(reinterpret_cast<const char*>(answer.data()), static_cast<int>(result));
}

void RequireAnswerLen(long pRxLen, long need) {
  if (pRxLen < need) FatalError(SHORT_ANSWER_TEXT, -1);
}

// The expansion memory stage of the configuration load: 'U' 0 with functions 0
// (state and initialisation text), 1 (descriptor) and 24 (count flag).
#include <array>
#include <cstring>

#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"

namespace {

constexpr uint8_t FN_STATE = 0;
constexpr uint8_t FN_DESCRIPTOR = 1;
constexpr uint8_t FN_COUNT = 24;

constexpr long STATE_ANSWER_LEN = 49;       // state and 48 bytes of text
constexpr long DESCRIPTOR_ANSWER_LEN = 83;  // state and descriptor up to byte 82
constexpr std::size_t EM_INIT_LEN = 48;

// Every answer starts with the expansion memory's state, 0 when it is usable; an
// answer that does not carry even that is refused. The rest of the answer is
// required only when the state says it means something.
const uint8_t* queryExpansion(uint8_t function, AnswerBuffer& rx, long fullLen) {
  const std::array<uint8_t, 3> cmd{'U', 0, function};
  rx.fill(0);
  const long rxLen = EcrConfQuery(cmd.data(), cmd.size(), rx, 1);
  if (rx[0] == 0) RequireAnswerLen(rxLen, fullLen);
  return rx.data();
}

int32_t word(const uint8_t* a, std::size_t at) {
  return static_cast<int32_t>(CVI(a + at));
}
uint32_t addr24(const uint8_t* a, std::size_t at) {
  return CVI3(a + at);
}
int32_t sbyte(const uint8_t* a, std::size_t at) {
  return static_cast<int32_t>(signedByte(a[at]));
}

// Descriptor of the Art, DC, Cli, Off and TTG areas (function 1 answer, state 0).
void decodeDescriptor(const uint8_t* a) {
  EcrConf.iEMArtAdrI = addr24(a, 1);
  EcrConf.iEMArtAdrD = addr24(a, 4);
  EcrConf.iEMArtMax = word(a, 7);
  EcrConf.iEMArtNum = word(a, 9);
  EcrConf.iEMArtDel = word(a, 11);
  EcrConf.iEMArtFlgQ = sbyte(a, 14);
  EcrConf.iEMArtLnCod = sbyte(a, 15);
  EcrConf.iEMArtLnDes = sbyte(a, 16);
  EcrConf.iEMArtLnCodN = sbyte(a, 17);
  EcrConf.iEMArtLnRec = sbyte(a, 18);
  EcrConf.iEMArtLnRecF = sbyte(a, 19);

  EcrConf.iEMDCAdr = addr24(a, 29);
  EcrConf.iEMDCMaxByte = static_cast<int32_t>(addr24(a, 32));
  EcrConf.iEMDCPntFree = addr24(a, 35);
  EcrConf.iEMDCPntO = addr24(a, 38);
  EcrConf.iEMDCNumByte = static_cast<int32_t>(addr24(a, 41));
  EcrConf.iEMDCNumRec = word(a, 44);
  EcrConf.iEMDCFlags = sbyte(a, 46);

  EcrConf.iEMCliMax = word(a, 55);
  EcrConf.iEMCliNum = word(a, 57);

  EcrConf.iEMOffAdr = addr24(a, 65);
  EcrConf.iEMOffMax = word(a, 68);

  // The register gives one byte for both the count and the record length of TTG.
  EcrConf.iEMTTGMax = sbyte(a, 78);
  EcrConf.iEMTTGLnRec = sbyte(a, 78);
  EcrConf.iEMTTGFlags = sbyte(a, 79);
  std::memcpy(EcrConf.sEMTTGDAzz, a + 80, 3);

  const uint8_t q = static_cast<uint8_t>(EcrConf.iEMArtFlgQ & 0xff);
  EcrConf.bEMArtCodA = q & 0x01;
  EcrConf.bEMArtFTot = q & 0x02;
  EcrConf.bEMArtFGia = q & 0x04;
  EcrConf.bEMArtFCrc = q & 0x08;
}

}  // namespace

void LoadCfgExpansion() {
  AnswerBuffer rx{};

  // A non-zero state is the register's answer, not a failure: it is recorded and the load ends with
  // what it has.
  const uint8_t* a = queryExpansion(FN_STATE, rx, STATE_ANSWER_LEN);
  EcrConf.iEMStato = sbyte(a, 0);
  if (EcrConf.iEMStato != 0) {
    EcrConf.iConfOK = 1;
    return;
  }
  std::memcpy(EcrConf.sEMInit, a + 1, EM_INIT_LEN);

  a = queryExpansion(FN_DESCRIPTOR, rx, DESCRIPTOR_ANSWER_LEN);
  if (a[0] != 0) {
    EcrConf.iEMStato = sbyte(a, 0);
    EcrConf.iConfOK = 1;
    return;
  }
  decodeDescriptor(a);
  EcrConf.bEMDescLoaded = 1;

  a = queryExpansion(FN_COUNT, rx, 1);
  EcrConf.bEMFlgCount = a[0] == 0 ? 1 : 0;

  EcrConf.iConfOK = 1;
}

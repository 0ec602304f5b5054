// The configuration load: memory map, receipt number, options, brand settings and
// article code settings, read from register memory with 'D' and from 'C' 3.
#include <array>
#include <cstdio>
#include <cstring>

#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"

namespace {

constexpr const char* TEXT_OLD_EPROM = "Eprom troppo vecchia";
constexpr const char* TEXT_BRAND_REFUSED = "Marca non supportata";
constexpr const char* TEXT_BRAND_I_REFUSED =
    "Marca non supprtata";  // spelt as hosts have always matched it
constexpr const char* TEXT_OLD_FIRMWARE = "Versione firmware datata";

// Block sizes read from register memory.
constexpr uint8_t TABRAM_LEN = 64;
constexpr uint8_t TOTF_LEN = 115;
constexpr uint8_t OPZ_LEN = 50;
constexpr uint8_t TABIND_LEN = 112;
constexpr uint8_t TABIND_EXT_LEN = 64;
constexpr uint8_t OOPZ_LEN = 50;

// Reads count bytes of register memory. Register memory is addressed with 16 bits,
// so a computed address (TABIND + 112) loses whatever carries past them.
const uint8_t* readMemory(int32_t addr, uint8_t count, AnswerBuffer& rx) {
  const std::array<uint8_t, 4> cmd{'D', static_cast<uint8_t>(addr & 0xff),
                                   static_cast<uint8_t>((addr >> 8) & 0xff), count};
  rx.fill(0);
  EcrConfQuery(cmd.data(), cmd.size(), rx, count);
  return rx.data();
}

int32_t word(const uint8_t* a, std::size_t at) {
  return static_cast<int32_t>(CVI(a + at));
}
int32_t sbyte(const uint8_t* a, std::size_t at) {
  return static_cast<int32_t>(signedByte(a[at]));
}

// Memory map table, 64 bytes at iAdrTABRAM.
//
//   0       4       8       12      16      20      24      28      32      36      40
//   DPT LnD PLU LnP IVA LnI OPE LnO TTG NTG TTP NTP ---  VAL PRC OPZ TTF GRU LnG STE LnS
//   48: TABIND   60: VCNF
void decodeMemoryMap(const uint8_t* a) {
  EcrConf.iAdrDPT = word(a, 0);
  EcrConf.iLnDPT = word(a, 2);
  EcrConf.iAdrPLU = word(a, 4);
  EcrConf.iLnPLU = word(a, 6);
  EcrConf.iAdrIVA = word(a, 8);
  EcrConf.iLnIVA = word(a, 10);
  EcrConf.iAdrOPE = word(a, 12);
  EcrConf.iLnOPE = word(a, 14);
  EcrConf.iAdrTOTG = word(a, 16);
  EcrConf.iNumTOTG = word(a, 18);
  EcrConf.iAdrTOTP = word(a, 20);
  EcrConf.iNumTOTP = word(a, 22);
  EcrConf.iAdrVALU = word(a, 26);
  EcrConf.iAdrPRCA = word(a, 28);
  EcrConf.iAdrOPZ = word(a, 30);
  // One address serves the TOTF block and the SYSF area alike; bytes 24-25 are not read.
  EcrConf.iAdrTOTF = word(a, 32);
  EcrConf.iAdrSYSF = word(a, 32);
  EcrConf.iAdrGRU = word(a, 34);
  EcrConf.iLnGRU = word(a, 36);
  EcrConf.iAdrSTEN = word(a, 38);
  EcrConf.iLnSTEN = word(a, 40);
  EcrConf.iAdrTABIND = word(a, 48);
  EcrConf.iAdrVCNF = word(a, 60);
}

// The receipt number's two packed decimal bytes sit at this offset of the TOTF block.
std::size_t receiptNumberOffset() {
  return EcrConf.cCodMarca == '6' ? 8 : 6;
}

// A nibble above 9 is kept as the character after '9' (':' to '?'), so a damaged
// counter shows up in the report instead of being silently changed.
void decodeReceiptNumber(const uint8_t* counter) {
  std::memcpy(EcrConf.szNScontrino, "0000", 5);
  for (std::size_t i = 0; i < 2; ++i) {
    const uint8_t b = counter[i];
    EcrConf.szNScontrino[2 * i] = static_cast<char>('0' + (b >> 4));
    EcrConf.szNScontrino[2 * i + 1] = static_cast<char>('0' + (b & 0x0f));
  }
}

// Four 2-bit DD options per byte, the most significant pair first.
void unpackDD(const uint8_t* src, std::size_t bytes, std::size_t firstOption) {
  for (std::size_t j = 0; j < bytes; ++j) {
    for (std::size_t k = 0; k < 4; ++k) {
      EcrConf.cDD[firstOption + 4 * j + k] = (src[j] >> (6 - 2 * k)) & 3;
    }
  }
}

// Index table, 112 bytes at iAdrTABIND. Returns the DD extension flags (byte 84).
int32_t decodeIndexTable(const uint8_t* a) {
  EcrConf.iAdrFIPBUF = word(a, 0);
  EcrConf.iAdrKEYTAB = word(a, 6);
  EcrConf.iAdrINTBUF = word(a, 22);
  EcrConf.iAdrOOPZ = word(a, 58);
  EcrConf.iAdrFASCEO = word(a, 60);
  unpackDD(a + 89, 23, 1);  // options 1 to 92
  return sbyte(a, 84);
}

void applyBrandDefaults() {
  EcrConf.iCSPKey = 52;
  EcrConf.iCSPNoPrint = 2;
  EcrConf.bFlgPluStock = 0;
  EcrConf.iCSPIniEM = 121;
  EcrConf.iCSPPrgOPE = 3;
  EcrConf.iCSPAbiEM = 492;
}

void setEmCodes() {
  EcrConf.iCSPIniEM = 201;
  EcrConf.iCSPAbiEM = 63;
  EcrConf.iCSPPrgOPE = 32;
}

enum class Brand { Loaded, StopHere };

// Brand settings by cCodMarca. A brand the driver does not know ends the run.
Brand applyBrand() {
  const int32_t model = EcrConf.iCodModel;
  switch (EcrConf.cCodMarca) {
    case '1':
      EcrConf.iCSPKey = model == 14 ? 52 : 499;
      break;
    case '2':
    case '3':
    case '8':
    case 'C':
    case 'E':
    case 'M':
    case 'N':
    case 'Z':
      EcrConf.iCSPKey = 499;
      break;
    case '6':
      EcrConf.iCSPKey = 499;
      EcrConf.bFlgPluStock = 1;
      break;
    case 'A':
    case 'H':
      EcrConf.bFlgPluStock = 1;
      setEmCodes();
      break;
    case 'S':
      if (model == 11 || model == 12) EcrConf.iCSPKey = 499;
      setEmCodes();
      break;
    case 'T':
    case 'W':
      if (model == 4 || model == 6) EcrConf.iCSPKey = 499;
      break;
    case '7':
    case '9':
    case 'F':
    case 'G':
    case 'K':
    case 'R':
      break;
    case '4':
      // Nothing past the index table is read from these registers, and the load
      // does not count as complete.
      return Brand::StopHere;
    case 'I':
      FatalError(TEXT_BRAND_I_REFUSED, -1);
    default:
      FatalError(TEXT_BRAND_REFUSED, -1);
  }
  return Brand::Loaded;
}

// Layout lengths of brand 'C' registers, whose extension block carries none.
void applyBrandCLayout() {
  EcrConf.iLNSTP = EcrConf.iCodModel <= 2 ? 20 : 24;
  EcrConf.iLTS = 5;
  EcrConf.iLCS = 2;
  EcrConf.iNumLINT = 5;
  EcrConf.iLnDPTName = 16;
  EcrConf.iLnPLUName = 16;
  EcrConf.iLnPLUPrice = 4;
  EcrConf.iLnPLUValue = 4;
  EcrConf.iNumOPE = 8;
  EcrConf.iNumIVA = 4;
}

// Index table extension, 64 bytes at iAdrTABIND + 112.
void decodeIndexExtension(const uint8_t* a, int32_t ddExtFlags) {
  if (ddExtFlags & 1) unpackDD(a, 8, 93);  // options 93 to 124
  EcrConf.iLNSTP = sbyte(a, 32);
  if (EcrConf.iLNSTP != 0) {
    EcrConf.iLTS = sbyte(a, 34);
    EcrConf.iLCS = sbyte(a, 35);
    EcrConf.iNumLINT = sbyte(a, 36);
    EcrConf.iLnDPTName = sbyte(a, 37);
    EcrConf.iLnPLUName = sbyte(a, 38);
    EcrConf.iLnPLUPrice = sbyte(a, 39);
    EcrConf.iLnPLUValue = sbyte(a, 40);
    EcrConf.iNumOPE = sbyte(a, 41);
    EcrConf.iNumIVA = sbyte(a, 42);
    // Registers without department flags report 0; the totals record still has one.
    const int32_t dptFlags = sbyte(a, 56);
    EcrConf.iLnDPTFlags = dptFlags == 0 ? 1 : dptFlags;
  } else if (EcrConf.cCodMarca == 'C') {
    applyBrandCLayout();
  } else {
    FatalError(TEXT_BRAND_REFUSED, -1);
  }
}

// Article code settings, 'C' 3. Older firmware answers 10 bytes and packs the
// flag into byte 8; the 11-byte answer adds byte 9.
void loadArticleCodes(AnswerBuffer& rx) {
  static constexpr std::array<uint8_t, 2> query{'C', 3};
  rx.fill(0);
  const long len = EcrConfQuery(query.data(), query.size(), rx, 9);
  const uint8_t b8 = rx[8];
  EcrConf.iLnARTCodN = b8 & 0x0f;
  EcrConf.bFlgARTCrc = b8 & 0x10;
  if (len >= 11) {
    EcrConf.iLnARTCodNI = rx[9] & 0x0f;
    EcrConf.iFlgART = (rx[9] >> 4) & 3;
  } else {
    EcrConf.iLnARTCodNI = 5;
    EcrConf.iFlgART = (b8 >> 5) & 1;
  }
}

}  // namespace

void LoadCfg(int dump) {
  EcrConf.bEMDescLoaded = 0;
  LoadCfgModel(0);

  AnswerBuffer rx{};
  decodeMemoryMap(readMemory(EcrConf.iAdrTABRAM, TABRAM_LEN, rx));
  if (EcrConf.iAdrTABIND == 0) FatalError(TEXT_OLD_EPROM, -1);

  decodeReceiptNumber(readMemory(EcrConf.iAdrTOTF, TOTF_LEN, rx) + receiptNumberOffset());
  if (dump != 0 && fileo != nullptr) {
    std::array<char, 40> line{};
    const int n =
        std::snprintf(line.data(), line.size(), "PROGRESSIVO_SCONTRINO=%s\n", EcrConf.szNScontrino);
    WriteOutput(fileo, line.data(), static_cast<std::size_t>(n));
    FlushOutput(fileo);
  }

  std::memcpy(EcrConf.sOPZ, readMemory(EcrConf.iAdrOPZ, OPZ_LEN, rx), OPZ_LEN);

  const int32_t ddExtFlags = decodeIndexTable(readMemory(EcrConf.iAdrTABIND, TABIND_LEN, rx));

  applyBrandDefaults();
  if (applyBrand() == Brand::StopHere) return;

  decodeIndexExtension(readMemory(EcrConf.iAdrTABIND + TABIND_LEN, TABIND_EXT_LEN, rx), ddExtFlags);

  if (EcrConf.iAdrOOPZ == 0) FatalError(TEXT_OLD_FIRMWARE, -1);
  std::memcpy(EcrConf.cOOPZ, readMemory(EcrConf.iAdrOOPZ, OOPZ_LEN, rx), OOPZ_LEN);

  loadArticleCodes(rx);

  EcrConf.bFlgEM = EcrConf.cDD[NDD_EXPRAM];
  if (EcrConf.bFlgEM == 0) {
    EcrConf.iConfOK = 1;
    return;
  }
  LoadCfgExpansion();
}

void LoadReceiptCounter() {
  LoadCfgModel(0);
  ReadReceiptCounter();
}

void ReadReceiptCounter() {
  // Only the two bytes that matter: the TOTF address in the memory map table, then the
  // counter itself, so that asking costs the line as little as possible. The address is
  // the register's own layout: a run that reads the counter before its first line and
  // after its last asks for it once.
  constexpr int32_t TOTF_IN_TABRAM = 32;
  AnswerBuffer rx{};
  if (EcrConf.iAdrTOTF == 0)
    EcrConf.iAdrTOTF = word(readMemory(EcrConf.iAdrTABRAM + TOTF_IN_TABRAM, 2, rx), 0);
  decodeReceiptNumber(
      readMemory(EcrConf.iAdrTOTF + static_cast<int32_t>(receiptNumberOffset()), 2, rx));
}

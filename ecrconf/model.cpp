// Identification of the register ('T') and the fiscal identity lines of the
// fiscal report file.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"

EcrConfStruct EcrConf{};
int32_t MAX_DESC_LEN = _DESC_LEN;
FILE* fileo = nullptr;

namespace {

// Byte positions in the identification answer.
namespace ident {
constexpr std::size_t matr = 0;   // 10 characters
constexpr std::size_t vers = 10;  // 20 characters
constexpr std::size_t day = 30;   // BCD, like the five that follow
constexpr std::size_t month = 31;
constexpr std::size_t year = 32;
constexpr std::size_t hour = 33;
constexpr std::size_t minutes = 34;
constexpr std::size_t seconds = 35;
constexpr std::size_t euro = 42;
constexpr std::size_t numDpt = 46;
constexpr std::size_t shift = 47;
constexpr std::size_t numPlu = 48;  // 2 bytes
constexpr std::size_t decimals = 61;
constexpr std::size_t flags = 62;
constexpr std::size_t tabRam = 66;  // 2 bytes
constexpr std::size_t model = 68;   // 8 characters
constexpr long length = 76;
}  // namespace ident

constexpr std::size_t MATR_LEN = 10;
constexpr std::size_t VERS_LEN = 20;
constexpr std::size_t MODEL_LEN = 8;

// Models whose second code character is not a letter print a shorter description.
constexpr int32_t NARROW_DESC_LEN = 26;

// Two decimal digits carried as character codes, as the register's texts hold them;
// no digit is checked, a stray character just gives a stray number.
int32_t twoDigits(uint8_t tens, uint8_t units) {
  return static_cast<int32_t>(10 * (signedByte(tens) - '0') + (signedByte(units) - '0'));
}

void writeLine(const char* format, auto... values) {
  std::array<char, 128> line{};
  const int n = std::snprintf(line.data(), line.size(), format, values...);
  if (n > 0) WriteOutput(fileo, line.data(), std::min<std::size_t>(n, line.size() - 1));
}

void writeIdentity(const uint8_t* a) {
  const unsigned day = a[ident::day], month = a[ident::month], year = a[ident::year];
  const char* ora = EcrConf.szOra;
  writeLine("MF_FULL=%s\n", EcrConf.szMatr);
  writeLine("MATRICOLA_FISCALE=%s\n", EcrConf.szMatr + 2);
  writeLine("DATA_FISCALIZZAZZIONE=%2.2x-%2.2x-%2.2x %s\n", day, month, year, ora);
  writeLine("DATA_FISCALIZZAZZIONE_MGA=%2.2x-%2.2x-%2.2x %s\n", month, day, year, ora);
  writeLine("DATA_FISCALIZZAZZIONE_AMG=%2.2x-%2.2x-%2.2x %s\n", year, month, day, ora);
  writeLine("ANNO_FISCALIZZAZIONE=%2.2x\n", year);
  writeLine("MESE_FISCALIZZAZIONE=%2.2x\n", month);
  writeLine("GIORNO_FISCALIZZAZIONE=%2.2x\n", day);
  writeLine("ORA_FISCALIZZAZIONE=%2.2x\n", static_cast<unsigned>(a[ident::hour]));
  writeLine("MINUTI_FISCALIZZAZIONE=%2.2x\n", static_cast<unsigned>(a[ident::minutes]));
  writeLine("SECONDI_FISCALIZZAZIONE=%2.2x\n", static_cast<unsigned>(a[ident::seconds]));
  // The host reads the file while cassard still talks to the register.
  FlushOutput(fileo);
}

}  // namespace

long EcrConfQuery(const uint8_t* cmd, long len, AnswerBuffer& rx, long need) {
  long rxLen = 0;
  long status = 0;
  const long result = DirectIO(cmd, len, rx, &rxLen, &status);
  if (result != 0) {
    // DirectIO left a terminated message; the last byte makes sure of it.
    rx.back() = 0;
    FatalError(reinterpret_cast<const char*>(rx.data()), static_cast<int>(result));
  }
  RequireAnswerLen(rxLen, need);
  return rxLen;
}

void LoadCfgModel(int dump) {
  static constexpr std::array<uint8_t, 1> identify{'T'};
  // A register identified anew: its memory map is read again before it is used.
  EcrConf.iAdrTOTF = 0;
  AnswerBuffer rx{};
  EcrConfQuery(identify.data(), identify.size(), rx, ident::length);
  const uint8_t* a = rx.data();

  std::memcpy(EcrConf.szMatr, a + ident::matr, MATR_LEN);
  EcrConf.szMatr[MATR_LEN] = 0;

  std::memcpy(EcrConf.szVers, a + ident::vers, VERS_LEN);
  EcrConf.szVers[VERS_LEN] = 0;
  EcrConf.iVersN = twoDigits(a[ident::vers], a[ident::vers + 2]);

  std::snprintf(EcrConf.szOra, sizeof EcrConf.szOra, "%2.2x:%2.2x:%2.2x",
                static_cast<unsigned>(a[ident::hour]), static_cast<unsigned>(a[ident::minutes]),
                static_cast<unsigned>(a[ident::seconds]));
  std::snprintf(EcrConf.szData, sizeof EcrConf.szData, "%2.2x-%2.2x-%2.2x",
                static_cast<unsigned>(a[ident::year]), static_cast<unsigned>(a[ident::month]),
                static_cast<unsigned>(a[ident::day]));

  if (dump != 0 && fileo != nullptr) writeIdentity(a);

  EcrConf.bFlgEURO = a[ident::euro] == 'E' ? 1 : 0;
  // Up to 255 departments: the count is the one byte read unsigned.
  EcrConf.iNumDPT = a[ident::numDpt];
  EcrConf.bFlgShift = a[ident::shift] == 1 ? 1 : 0;
  EcrConf.iNumPLU = static_cast<int32_t>(CVI(a + ident::numPlu));
  EcrConf.iNumDecimals = static_cast<int32_t>(signedByte(a[ident::decimals]));

  const uint8_t flags = a[ident::flags];
  EcrConf.bFlgPDecz = flags & 0x01;
  EcrConf.bFlgAlfad = flags & 0x02;
  EcrConf.bFlgTast2 = flags & 0x40;
  EcrConf.bFlgNoVirg = flags & 0x80;

  EcrConf.iAdrTABRAM = static_cast<int32_t>(CVI(a + ident::tabRam));

  const uint8_t* model = a + ident::model;
  std::memcpy(EcrConf.szModel, model, MODEL_LEN);
  EcrConf.szModel[MODEL_LEN] = 0;
  EcrConf.cCodMarca = static_cast<char>(model[0]);
  // Bytes from 0x80 up count as below 'A' too: the register's characters are signed.
  if (signedByte(model[1]) <= 0x40) MAX_DESC_LEN = NARROW_DESC_LEN;
  EcrConf.cCodMarcaEx = static_cast<char>(model[4]);
  EcrConf.iCodModel = twoDigits(model[5], model[6]);
  EcrConf.iCodNF = EcrConf.cCodMarca == 'N' ? twoDigits(model[1], model[2]) : 0;
}

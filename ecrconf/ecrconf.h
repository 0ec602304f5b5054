// The register's configuration: identification, memory map, brand settings and
// expansion memory descriptor, and the lines they contribute to the fiscal report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "protocol/protocol.h"

using BOOL = char;
using BYTE = unsigned char;

inline constexpr int NDD_EXPRAM = 8;  // DD option: expansion memory present
inline constexpr int NDD_TAVOLI = 86;
inline constexpr int NUMTOT = 15;  // general totals read by the internal totals download

struct EcrConfStruct {
  int32_t iConfOK;
  char szMatr[11];
  char szOra[9];
  char szData[11];
  char szNScontrino[5];
  char szVers[21];
  int32_t iVersN;
  uint8_t bFlgEURO;
  int32_t iNumDPT;
  int32_t iNumPLU;
  int32_t iNumDecimals;
  uint8_t bFlgShift;
  uint8_t bFlgPDecz;
  uint8_t bFlgAlfad;
  uint8_t bFlgTast2;
  uint8_t bFlgNoVirg;
  int32_t iAdrTABRAM;
  char szModel[9];
  int32_t iCodModel;
  int32_t iCodNF;
  char cCodMarca;
  char cCodMarcaEx;
  int32_t iAdrDPT;
  int32_t iLnDPT;
  int32_t iAdrPLU;
  int32_t iLnPLU;
  int32_t iAdrIVA;
  int32_t iLnIVA;
  int32_t iAdrOPE;
  int32_t iLnOPE;
  int32_t iAdrTOTG;
  int32_t iNumTOTG;
  int32_t iAdrTOTP;
  int32_t iNumTOTP;
  int32_t iAdrTOTF;
  int32_t iAdrVALU;
  int32_t iAdrPRCA;
  int32_t iAdrOPZ;
  int32_t iAdrSYSF;
  int32_t iAdrGRU;
  int32_t iLnGRU;
  int32_t iAdrSTEN;
  int32_t iLnSTEN;
  int32_t iAdrFASCEO;
  int32_t iAdrTABIND;
  int32_t iAdrVCNF;
  uint8_t sOPZ[60];
  char sStrVCNF[30];
  int32_t iAdrFIPBUF;
  int32_t iAdrINTBUF;
  int32_t iAdrKEYTAB;
  int32_t iAdrOOPZ;
  uint8_t cDD[150];
  int32_t iLNSTP;
  int32_t iLTS;
  int32_t iLCS;
  int32_t iNumLINT;
  int32_t iLnDPTName;
  int32_t iLnPLUName;
  int32_t iLnPLUPrice;
  int32_t iLnPLUValue;
  int32_t iNumOPE;
  int32_t iNumIVA;
  uint8_t cOOPZ[60];
  int32_t iLnARTCodN;
  uint8_t bFlgARTCrc;
  int32_t iLnARTCodNI;
  int32_t iFlgART;
  int32_t iCSPKey;
  int32_t iCSPNoPrint;
  int32_t iCSPIniEM;
  int32_t iCSPAbiEM;
  int32_t iCSPPrgOPE;
  uint8_t bFlgPluStock;
  uint8_t bFlgEM;
  int32_t iEMStato;
  char sEMInit[51];
  uint32_t iEMArtAdr;
  uint32_t iEMArtAdrI;
  uint32_t iEMArtAdrD;
  int32_t iEMArtMax;
  int32_t iEMArtNum;
  int32_t iEMArtDel;
  int32_t iEMArtFlgQ;
  int32_t iEMArtLnCod;
  int32_t iEMArtLnDes;
  int32_t iEMArtLnCodN;
  int32_t iEMArtLnRec;
  int32_t iEMArtLnRecF;
  uint8_t bEMArtCodA;
  uint8_t bEMArtFTot;
  uint8_t bEMArtFGia;
  uint8_t bEMArtFCrc;
  uint8_t bEMFlgCount;
  uint32_t iEMDCAdr;
  uint32_t iEMDCPntFree;
  uint32_t iEMDCPntO;
  int32_t iEMDCFlags;
  int32_t iEMDCMaxByte;
  int32_t iEMDCNumByte;
  int32_t iEMDCNumRec;
  int32_t iEMCliMax;
  int32_t iEMCliNum;
  uint32_t iEMOffAdr;
  int32_t iEMOffMax;
  int32_t iEMTTGMax;
  int32_t iEMTTGLnRec;
  int32_t iEMTTGFlags;
  uint8_t sEMTTGDAzz[4];
  int32_t iLnDPTFlags;
  uint8_t bEMDescLoaded;  // the last LoadCfg read the expansion memory descriptor
};

// All zeros at start, never cleared; every load overwrites the fields it reaches.
extern EcrConfStruct EcrConf;

// Description characters sent with an item: 35, lowered to 26 for some models.
inline constexpr int32_t _DESC_LEN = 35;
extern int32_t MAX_DESC_LEN;

// The fiscal report file, owned by the driver; null while none is open.
extern FILE* fileo;

// 16- and 24-bit little-endian unsigned values of answer bytes.
constexpr uint32_t CVI(const uint8_t* a) {
  return a[0] + 256u * a[1];
}
constexpr uint32_t CVI3(const uint8_t* a) {
  return a[0] + 256u * a[1] + 65536u * a[2];
}

// Identifies the register; with dump set, writes the identification lines into fileo.
void LoadCfgModel(int dump);
// Loads the whole configuration; with dump set, writes the receipt number line.
void LoadCfg(int dump);
// Identifies the register and reads its receipt counter into szNScontrino, with the
// fewest memory reads that reach it; writes nothing.
void LoadReceiptCounter();
// The same reads without the identification, for a register identified earlier in the run.
void ReadReceiptCounter();

// ---------------------------------------------------------------- inside the load

// Sends one command of the configuration load and ends the run if the transaction
// fails (with the text DirectIO left in rx) or if the answer delivers fewer than
// need bytes. Returns the answer length.
long EcrConfQuery(const uint8_t* cmd, long len, AnswerBuffer& rx, long need);

// The tail of LoadCfg for a register with expansion memory: state, initialisation
// text, descriptor and count flag. Sets iConfOK on every way out.
void LoadCfgExpansion();

// The configuration load against register memory images: what is sent, what lands
// in EcrConf, what goes into the fiscal report file, and what is refused.
#include "ecrconf/ecrconf.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/port.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Where the standard image keeps its blocks.
constexpr uint16_t TABRAM = 0x0100;
constexpr uint16_t TOTF = 0x0400;
constexpr uint16_t OPZ = 0x0500;
constexpr uint16_t TABIND = 0x0600;
constexpr uint16_t OOPZ = 0x0800;

// A register as the configuration load sees it: an identification answer, 64 KiB
// of memory behind 'D', the article code answer and the expansion memory answers.
// Any one executed command can be answered short.
struct RegisterImage {
  Bytes ident = Bytes(76, 0);
  Bytes mem = Bytes(0x10000, 0);
  Bytes article;
  Bytes emState, emDescriptor, emCount;
  int cutCommand = -1;  // index among the commands answered, or -1
  std::size_t cutLen = 0;
  int refuseCommand = -1;  // answered with an 'S' refusal (no change) instead
  int answered = 0;

  void put(uint16_t at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) mem[at++] = b;
  }
  void putWord(uint16_t at, uint16_t v) { put(at, {uint8_t(v & 0xff), uint8_t(v >> 8)}); }
  void putText(Bytes& into, std::size_t at, const char* text) {
    std::memcpy(into.data() + at, text, std::strlen(text));
  }
  void setModel(const char* model8) { putText(ident, 68, model8); }

  EcrAnswer answer(std::span<const uint8_t> cmd) {
    EcrAnswer a{cmd[0], {}};
    switch (cmd[0]) {
      case 'T':
        a.data = ident;
        break;
      case 'D': {
        const uint16_t at = uint16_t(cmd[1] | (cmd[2] << 8));
        for (int i = 0; i < cmd[3]; ++i) a.data.push_back(mem[uint16_t(at + i)]);
        break;
      }
      case 'C':
        a.data = article;
        break;
      case 'U':
        a.data = cmd[2] == 0 ? emState : cmd[2] == 1 ? emDescriptor : emCount;
        break;
      default:
        a = EcrAnswer{'S', {0, 0, 0}};
    }
    if (answered == refuseCommand) a = EcrAnswer{'S', {0, 0x09, 0}};
    if (answered++ == cutCommand && a.data.size() > cutLen) a.data.resize(cutLen);
    return a;
  }
};

// A brand '2' register with a full layout block, no expansion memory, and
// recognisable values in every field the load reads.
RegisterImage standardImage() {
  RegisterImage r;
  r.putText(r.ident, 0, "72AB012345");
  r.putText(r.ident, 10, "2.50 09/2024        ");
  const uint8_t fiscalised[] = {0x28, 0x02, 0x24, 0x09, 0x41, 0x07};  // dd mm yy hh mm ss
  std::memcpy(r.ident.data() + 30, fiscalised, sizeof fiscalised);
  r.ident[42] = 'E';
  r.ident[46] = 20;
  r.ident[47] = 1;
  r.ident[48] = 0xe8;  // 1000 PLUs
  r.ident[49] = 0x03;
  r.ident[61] = 2;
  r.ident[62] = 0xc3;
  r.ident[66] = TABRAM & 0xff;
  r.ident[67] = TABRAM >> 8;
  r.setModel("2RP-E57Z");

  const uint16_t map[] = {0x2000, 32,     0x2800, 40,     0x3800, 12,     0x3900,
                          20,     0x4000, 15,     0x4200, 30,     0x7777, 0x4400,
                          0x4500, OPZ,    TOTF,   0x4600, 18,     0x4700, 10};
  for (std::size_t i = 0; i < std::size(map); ++i) r.putWord(TABRAM + 2 * i, map[i]);
  r.putWord(TABRAM + 48, TABIND);
  r.putWord(TABRAM + 60, 0x4800);

  r.put(TOTF + 6, {0x01, 0x23, 0x45, 0x67});
  for (int i = 0; i < 60; ++i) r.mem[OPZ + i] = uint8_t(i + 1);

  r.putWord(TABIND + 0, 0x5000);
  r.putWord(TABIND + 6, 0x5100);
  r.putWord(TABIND + 22, 0x5200);
  r.putWord(TABIND + 58, OOPZ);
  r.putWord(TABIND + 60, 0x5300);
  r.mem[TABIND + 84] = 0x01;
  r.mem[TABIND + 89] = 0xe4;                                   // options 1-4: 3 2 1 0
  r.mem[TABIND + 90] = 0x00;                                   // options 5-8: no expansion memory
  for (int j = 2; j < 23; ++j) r.mem[TABIND + 89 + j] = 0x1b;  // 0 1 2 3

  const uint16_t ext = TABIND + 112;
  for (int j = 0; j < 8; ++j) r.mem[ext + j] = 0xc6;  // 3 0 1 2
  r.put(ext + 32, {24, 0, 6, 2, 5, 18, 20, 5, 6, 9, 7});
  r.mem[ext + 56] = 3;

  for (int i = 0; i < 60; ++i) r.mem[OOPZ + i] = uint8_t(0x80 + i);
  r.article = Bytes(11, 0);
  r.article[8] = 0x3a;
  r.article[9] = 0x27;

  r.emState = Bytes(49, 0);
  r.putText(r.emState, 1, "MEMORIA ESPANSA 2MB");
  r.emDescriptor = Bytes(83, 0);
  r.emCount = Bytes{0};
  return r;
}

// The same register with an initialised expansion memory behind it.
RegisterImage expansionImage() {
  RegisterImage r = standardImage();
  r.mem[TABIND + 90] = 0x02;  // option 8 = 2: present
  Bytes& d = r.emDescriptor;
  // clang-format off
  const std::pair<std::size_t, Bytes> fields[] = {
      {1, {0x00, 0x10, 0x02}}, {4, {0x34, 0x12, 0x03}}, {7, {0x10, 0x27}}, {9, {0x05, 0x01}},
      {11, {0x02, 0x00}}, {14, {0x0a, 13, 30, 7, 0x90, 64}}, {29, {1, 2, 3}}, {32, {4, 5, 6}},
      {35, {7, 8, 9}}, {38, {10, 11, 12}}, {41, {13, 14, 15}}, {44, {0x34, 0x12}}, {46, {0xff}},
      {55, {0xe8, 0x03}}, {57, {0x2a, 0x00}}, {65, {0xaa, 0xbb, 0xcc}}, {68, {0x00, 0x01}},
      {78, {12, 0x81, 'x', 'y', 'z'}},
  };
  // clang-format on
  for (const auto& [at, bytes] : fields) std::copy(bytes.begin(), bytes.end(), d.begin() + at);
  return r;
}

Bytes memRead(uint16_t at, uint8_t count) {
  return {'D', uint8_t(at & 0xff), uint8_t(at >> 8), count};
}

// Commands of a load up to and including the article code query.
std::vector<Bytes> loadCommands() {
  return {{'T'},
          memRead(TABRAM, 64),
          memRead(TOTF, 115),
          memRead(OPZ, 50),
          memRead(TABIND, 112),
          memRead(TABIND + 112, 64),
          memRead(OOPZ, 50),
          {'C', 3}};
}

std::vector<Bytes> firstCommands(std::size_t n) {
  auto all = loadCommands();
  all.resize(n);
  return all;
}

// A field of EcrConf and the value it must hold, named in a failure.
struct Field {
  const char* name;
  long long got, want;
};
// clang-format off
#define FIELD(field, value) Field{#field, static_cast<long long>(EcrConf.field), value}
// clang-format on

void expectField(const Field& f) {
  EXPECT_EQ(f.got, f.want) << f.name;
}
template <typename... Fields>
void expectFields(const Fields&... fields) {
  (expectField(fields), ...);
}

class EcrConfTest : public ::testing::Test {
 protected:
  EcrConfTest() {
    fake::reset();
    ecr.emplace();
    resetLink();
    EcrConf = {};
    MAX_DESC_LEN = _DESC_LEN;
    fileo = nullptr;
    ecr->responder = [this](std::span<const uint8_t> cmd) { return image.answer(cmd); };
  }
  ~EcrConfTest() override {
    if (fileo) std::fclose(fileo);
    fileo = nullptr;
  }

  std::vector<Bytes> sent() const { return ecr->realCommands(); }

  // Runs fn, expects it to end the run with -1 and the given text.
  void expectRefusal(const std::function<void()>& fn, const std::string& text) {
    EXPECT_EQ(fake::exitCodeOf(fn), -1);
    EXPECT_EQ(lastDumpDescription(), text);
  }

  RegisterImage image = standardImage();
  std::optional<ScriptedEcr> ecr;
};

// ------------------------------------------------------------------ identification

TEST_F(EcrConfTest, IdentificationFillsTheIdentityFields) {
  LoadCfgModel(0);
  EXPECT_EQ(sent(), std::vector<Bytes>{{'T'}});
  EXPECT_STREQ(EcrConf.szMatr, "72AB012345");
  EXPECT_STREQ(EcrConf.szVers, "2.50 09/2024        ");
  EXPECT_EQ(EcrConf.iVersN, 25);
  EXPECT_STREQ(EcrConf.szData, "24-02-28");
  EXPECT_STREQ(EcrConf.szOra, "09:41:07");
  expectFields(FIELD(bFlgEURO, 1), FIELD(iNumDPT, 20), FIELD(bFlgShift, 1), FIELD(iNumPLU, 1000),
               FIELD(iNumDecimals, 2), FIELD(bFlgPDecz, 0x01), FIELD(bFlgAlfad, 0x02),
               FIELD(bFlgTast2, 0x40), FIELD(bFlgNoVirg, 0x80), FIELD(iAdrTABRAM, TABRAM));
  EXPECT_STREQ(EcrConf.szModel, "2RP-E57Z");
  expectFields(FIELD(cCodMarca, '2'), FIELD(cCodMarcaEx, 'E'), FIELD(iCodModel, 57),
               FIELD(iCodNF, 0));
  EXPECT_EQ(MAX_DESC_LEN, 35);
}

TEST_F(EcrConfTest, SignedAndFlagBytesOfTheIdentification) {
  image.ident[42] = 'e';
  image.ident[46] = 0xff;
  image.ident[47] = 2;
  image.ident[61] = 0x80;
  image.ident[62] = 0x3c;  // none of the four flag bits
  image.ident[32] = 0x99;
  image.ident[33] = 0x00;
  image.setModel("N12-X3A4");
  LoadCfgModel(0);
  EXPECT_EQ(EcrConf.bFlgEURO, 0);
  EXPECT_EQ(EcrConf.iNumDPT, 255) << "up to 255 departments";
  EXPECT_EQ(EcrConf.bFlgShift, 0);
  EXPECT_EQ(EcrConf.iNumDecimals, -128);
  EXPECT_EQ(EcrConf.bFlgPDecz | EcrConf.bFlgAlfad | EcrConf.bFlgTast2 | EcrConf.bFlgNoVirg, 0);
  EXPECT_STREQ(EcrConf.szData, "99-02-28");
  EXPECT_STREQ(EcrConf.szOra, "00:41:07");
  EXPECT_EQ(EcrConf.iCodNF, 12);
  EXPECT_EQ(EcrConf.iCodModel, 10 * ('3' - '0') + ('A' - '0'));  // not checked as digits
}

TEST_F(EcrConfTest, DescriptionWidthNarrowsOnceAndStays) {
  struct Step {
    uint8_t char1;
    int32_t expected;
  };
  // A letter keeps 35; '@', digits, space and bytes from 0x80 up narrow to 26, and
  // nothing widens it again.
  const std::vector<std::vector<Step>> runs = {
      {{'A', 35}, {'z', 35}}, {{'@', 26}},  {{'5', 26}, {'K', 26}}, {{' ', 26}},
      {{0x80, 26}},           {{0xff, 26}},
  };
  for (const auto& run : runs) {
    MAX_DESC_LEN = _DESC_LEN;
    for (const Step& s : run) {
      image.ident[69] = s.char1;
      LoadCfgModel(0);
      EXPECT_EQ(MAX_DESC_LEN, s.expected) << "character 1 = 0x" << std::hex << int(s.char1);
    }
  }
}

TEST_F(EcrConfTest, IdentityLinesOnlyWithDumpAndAnOpenFile) {
  image.ident[5] = 0;  // a NUL in the serial number cuts both printed forms
  fileo = std::fopen("ident.fis", "w+");
  ASSERT_NE(fileo, nullptr);
  LoadCfgModel(0);
  EXPECT_EQ(readFile("ident.fis"), "");

  LoadCfgModel(1);
  const std::string text = readFile("ident.fis");  // readable without a close: flushed
  EXPECT_EQ(text.substr(0, text.find("DATA")), "MF_FULL=72AB0\nMATRICOLA_FISCALE=AB0\n");

  std::fclose(fileo);
  fileo = nullptr;
  LoadCfgModel(1);
  EXPECT_STREQ(EcrConf.szMatr, "72AB0");
}

TEST_F(EcrConfTest, FiscalReportIsWrittenByteForByte) {
  struct Case {
    const char* golden;
    const char* model;
    std::array<uint8_t, 6> fiscalised;
    const char* matr;
  };
  const Case cases[] = {
      {"standard.fis", "2RP-E57Z", {0x28, 0x02, 0x24, 0x09, 0x41, 0x07}, "72AB012345"},
      // Brand '6' keeps its receipt number two bytes further on; a non-BCD byte
      // still comes out as two lower-case hex digits.
      {"brand6.fis", "6RP-E57Z", {0x31, 0x12, 0x99, 0x23, 0x5a, 0x00}, "9Z00000042"},
  };
  for (const Case& c : cases) {
    image.setModel(c.model);
    image.putText(image.ident, 0, c.matr);
    std::memcpy(image.ident.data() + 30, c.fiscalised.data(), 6);
    image.put(TOTF + 8, {0x98, 0x76});
    fileo = std::fopen("report.fis", "w+");
    ASSERT_NE(fileo, nullptr);
    WriteOutput(fileo, "[FISCALI]\n", 10);
    FlushOutput(fileo);
    LoadCfgModel(1);
    LoadCfg(1);
    std::fclose(fileo);
    fileo = nullptr;
    const std::string golden = std::string(CASSARD_TEST_DATA) + "/fiscal/" + c.golden;
    EXPECT_EQ(readFile("report.fis"), readFile(golden.c_str())) << c.golden;
  }
}

TEST_F(EcrConfTest, WriteFailureOnTheReportEndsTheRun) {
  std::fclose(std::fopen("readonly.fis", "w"));
  fileo = std::fopen("readonly.fis", "r");
  ASSERT_NE(fileo, nullptr);
  EXPECT_EQ(fake::exitCodeOf([] { LoadCfgModel(1); }), -1);
  EXPECT_EQ(lastDumpDescription(), "Errore in scrittura del file di output");
}

// ------------------------------------------------------------------ the load

TEST_F(EcrConfTest, CompleteLoadWithoutExpansionMemory) {
  LoadCfg(0);
  EXPECT_EQ(sent(), loadCommands());
  expectFields(FIELD(iConfOK, 1), FIELD(iAdrDPT, 0x2000), FIELD(iLnDPT, 32), FIELD(iAdrPLU, 0x2800),
               FIELD(iLnOPE, 20), FIELD(iAdrTOTG, 0x4000), FIELD(iNumTOTG, 15),
               FIELD(iNumTOTP, 30));
  EXPECT_EQ(EcrConf.iAdrVALU, 0x4400);  // bytes 24-25 (0x7777) feed nothing
  expectFields(FIELD(iAdrOPZ, OPZ), FIELD(iAdrTOTF, TOTF), FIELD(iAdrSYSF, TOTF),
               FIELD(iLnSTEN, 10), FIELD(iAdrTABIND, TABIND), FIELD(iAdrVCNF, 0x4800));
  EXPECT_STREQ(EcrConf.szNScontrino, "0123");

  EXPECT_EQ(EcrConf.sOPZ[0], 1);
  EXPECT_EQ(EcrConf.sOPZ[49], 50);
  EXPECT_EQ(EcrConf.sOPZ[50], 0);
  EXPECT_EQ(EcrConf.cOOPZ[49], 0x80 + 49);
  EXPECT_EQ(EcrConf.cOOPZ[50], 0);

  expectFields(FIELD(iAdrFIPBUF, 0x5000), FIELD(iAdrKEYTAB, 0x5100), FIELD(iAdrINTBUF, 0x5200),
               FIELD(iAdrOOPZ, OOPZ), FIELD(iAdrFASCEO, 0x5300), FIELD(iLNSTP, 24), FIELD(iLTS, 6),
               FIELD(iLCS, 2), FIELD(iNumLINT, 5), FIELD(iLnDPTName, 18), FIELD(iLnPLUName, 20),
               FIELD(iLnPLUPrice, 5), FIELD(iLnPLUValue, 6), FIELD(iNumOPE, 9), FIELD(iNumIVA, 7),
               FIELD(iLnDPTFlags, 3), FIELD(iLnARTCodN, 10), FIELD(bFlgARTCrc, 0x10),
               FIELD(iLnARTCodNI, 7), FIELD(iFlgART, 2), FIELD(bFlgEM, 0));
}

TEST_F(EcrConfTest, DDOptionsUnpackMostSignificantPairFirst) {
  EcrConf.cDD[140] = 9;  // never touched by a load
  LoadCfg(0);
  const uint8_t first[] = {0, 3, 2, 1, 0, 0, 0, 0, 0, 0, 1, 2, 3};
  for (std::size_t i = 0; i < std::size(first); ++i) EXPECT_EQ(EcrConf.cDD[i], first[i]) << i;
  EXPECT_EQ(EcrConf.cDD[92], 3);
  const uint8_t ext[] = {3, 0, 1, 2};  // options 93 to 96, and so on to 124
  for (int i = 93; i <= 124; ++i) EXPECT_EQ(EcrConf.cDD[i], ext[(i - 93) % 4]) << i;
  EXPECT_EQ(EcrConf.cDD[125], 0);
  EXPECT_EQ(EcrConf.cDD[140], 9);

  // Without the extension flag options 93 to 124 keep what the last load left.
  image.mem[TABIND + 84] = 0xfe;
  for (int j = 0; j < 8; ++j) image.mem[TABIND + 112 + j] = 0;
  LoadCfg(0);
  for (int i = 93; i <= 124; ++i) EXPECT_EQ(EcrConf.cDD[i], ext[(i - 93) % 4]) << i;
}

TEST_F(EcrConfTest, ReceiptNumberNibbles) {
  struct Case {
    char brand;
    std::array<uint8_t, 4> totf6to9;
    const char* expected;
  };
  const Case cases[] = {
      {'2', {0x01, 0x23, 0x45, 0x67}, "0123"},
      {'6', {0x01, 0x23, 0x45, 0x67}, "4567"},
      {'2', {0xa1, 0x3f, 0, 0}, ":13?"},  // nibbles above 9 go past '9'
      {'6', {0, 0, 0xfc, 0xb0}, "?<;0"},
  };
  for (const Case& c : cases) {
    image.ident[68] = uint8_t(c.brand);
    image.put(TOTF + 6, {c.totf6to9[0], c.totf6to9[1], c.totf6to9[2], c.totf6to9[3]});
    LoadCfg(0);
    EXPECT_STREQ(EcrConf.szNScontrino, c.expected) << c.brand;
  }
}

TEST_F(EcrConfTest, BrandSettings) {
  struct Case {
    const char* model;
    int32_t key, iniEM, abiEM, prgOPE;
    uint8_t pluStock;
  };
  const Case cases[] = {
      {"2RP-E57Z", 499, 121, 492, 3, 0}, {"1RP-E14Z", 52, 121, 492, 3, 0},
      {"1RP-E15Z", 499, 121, 492, 3, 0}, {"6RP-E57Z", 499, 121, 492, 3, 1},
      {"ARP-E57Z", 52, 201, 63, 32, 1},  {"HRP-E57Z", 52, 201, 63, 32, 1},
      {"SRP-E11Z", 499, 201, 63, 32, 0}, {"SRP-E12Z", 499, 201, 63, 32, 0},
      {"SRP-E13Z", 52, 201, 63, 32, 0},  {"TRP-E04Z", 499, 121, 492, 3, 0},
      {"WRP-E06Z", 499, 121, 492, 3, 0}, {"TRP-E05Z", 52, 121, 492, 3, 0},
      {"7RP-E57Z", 52, 121, 492, 3, 0},  {"RRP-E57Z", 52, 121, 492, 3, 0},
      {"ZRP-E57Z", 499, 121, 492, 3, 0}, {"CRP-E57Z", 499, 121, 492, 3, 0},
  };
  for (const Case& c : cases) {
    image.setModel(c.model);
    // The settings of the brand before must not leak into the next.
    EcrConf.iCSPKey = EcrConf.iCSPIniEM = EcrConf.iCSPAbiEM = EcrConf.iCSPPrgOPE = -7;
    EcrConf.bFlgPluStock = 9;
    LoadCfg(0);
    EXPECT_EQ(EcrConf.iCSPKey, c.key) << c.model;
    EXPECT_EQ(EcrConf.iCSPNoPrint, 2) << c.model;
    EXPECT_EQ(EcrConf.iCSPIniEM, c.iniEM) << c.model;
    EXPECT_EQ(EcrConf.iCSPAbiEM, c.abiEM) << c.model;
    EXPECT_EQ(EcrConf.iCSPPrgOPE, c.prgOPE) << c.model;
    EXPECT_EQ(EcrConf.bFlgPluStock, c.pluStock) << c.model;
    EXPECT_EQ(EcrConf.iConfOK, 1) << c.model;
  }
}

TEST_F(EcrConfTest, RefusedBrandsStopAfterTheIndexTable) {
  struct Case {
    uint8_t brand;
    const char* text;
  };
  const Case cases[] = {
      {'5', "Marca non supportata"}, {'B', "Marca non supportata"},  {'D', "Marca non supportata"},
      {'I', "Marca non supprtata"},  {'a', "Marca non supportata"},  {0x3a, "Marca non supportata"},
      {'J', "Marca non supportata"}, {0xc2, "Marca non supportata"},
  };
  for (const Case& c : cases) {
    ecr->commands.clear();
    image.answered = 0;
    image.ident[68] = c.brand;
    expectRefusal([] { LoadCfg(0); }, c.text);
    EXPECT_EQ(sent(), firstCommands(5)) << int(c.brand);
    EXPECT_EQ(EcrConf.iConfOK, 0);
  }
}

TEST_F(EcrConfTest, Brand4StopsQuietlyAfterTheIndexTable) {
  image.ident[68] = '4';
  EcrConf.iLNSTP = 77;
  EcrConf.iLnARTCodN = 13;
  LoadCfg(0);
  EXPECT_EQ(sent(), firstCommands(5));
  expectFields(FIELD(iConfOK, 0), FIELD(iLNSTP, 77), FIELD(iLnARTCodN, 13), FIELD(iAdrDPT, 0x2000));
}

TEST_F(EcrConfTest, LayoutFromBrandCDefaultsWhenTheExtensionHasNone) {
  struct Case {
    const char* model;
    int32_t lnstp;
  };
  image.mem[TABIND + 112 + 32] = 0;
  for (const Case& c : {Case{"CRP-E02Z", 20}, Case{"CRP-E03Z", 24}}) {
    image.setModel(c.model);
    EcrConf.iLnDPTFlags = 9;
    LoadCfg(0);
    EXPECT_EQ(EcrConf.iLNSTP, c.lnstp) << c.model;
    expectFields(FIELD(iLTS, 5), FIELD(iLCS, 2), FIELD(iNumLINT, 5), FIELD(iLnDPTName, 16),
                 FIELD(iLnPLUName, 16), FIELD(iLnPLUPrice, 4), FIELD(iLnPLUValue, 4),
                 FIELD(iNumOPE, 8), FIELD(iNumIVA, 4), FIELD(iLnDPTFlags, 9), FIELD(iConfOK, 1));
  }

  // Any other brand needs the layout from the register.
  EcrConf.iConfOK = 0;
  ecr->commands.clear();
  image.setModel("2RP-E57Z");
  expectRefusal([] { LoadCfg(0); }, "Marca non supportata");
  EXPECT_EQ(sent(), firstCommands(6));
  EXPECT_EQ(EcrConf.iConfOK, 0);
}

TEST_F(EcrConfTest, DepartmentFlagsLengthIsAtLeastOne) {
  for (auto [raw, expected] : {std::pair{0, 1}, std::pair{5, 5}, std::pair{0xfe, -2}}) {
    image.mem[TABIND + 112 + 56] = uint8_t(raw);
    LoadCfg(0);
    EXPECT_EQ(EcrConf.iLnDPTFlags, expected) << raw;
  }
}

TEST_F(EcrConfTest, OldEpromAndOldFirmwareAreRefused) {
  struct Case {
    uint16_t at;
    const char* text;
    std::size_t commands;
  };
  const Case cases[] = {
      {TABRAM + 48, "Eprom troppo vecchia", 2},
      {TABIND + 58, "Versione firmware datata", 6},
  };
  for (const Case& c : cases) {
    RegisterImage fresh = standardImage();
    fresh.putWord(c.at, 0);
    image = fresh;
    ecr->commands.clear();
    EcrConf.iConfOK = 0;
    expectRefusal([] { LoadCfg(0); }, c.text);
    EXPECT_EQ(sent(), firstCommands(c.commands)) << c.text;
    EXPECT_EQ(EcrConf.iConfOK, 0);
  }
}

TEST_F(EcrConfTest, ArticleCodeLayoutFollowsTheAnswerLength) {
  struct Case {
    std::size_t len;
    int32_t codN, codNI, flgArt;
  };
  // Byte 8 = 0x3a: length 10, checksum bit, bit 5 set; byte 9 = 0x27.
  const Case cases[] = {{11, 10, 7, 2}, {12, 10, 7, 2}, {10, 10, 5, 1}, {9, 10, 5, 1}};
  for (const Case& c : cases) {
    image.article = Bytes(c.len, 0);
    image.article[8] = 0x3a;
    if (c.len > 9) image.article[9] = 0x27;
    LoadCfg(0);
    EXPECT_EQ(EcrConf.iLnARTCodN, c.codN) << c.len;
    EXPECT_EQ(EcrConf.bFlgARTCrc, 0x10) << c.len;
    EXPECT_EQ(EcrConf.iLnARTCodNI, c.codNI) << c.len;
    EXPECT_EQ(EcrConf.iFlgART, c.flgArt) << c.len;
  }
}

TEST_F(EcrConfTest, AddressesAreCutTo16Bits) {
  // The extension of an index table near the top of memory wraps to the bottom.
  image.putWord(TABRAM + 48, 0xffa0);
  for (uint16_t i = 0; i < 112; ++i) image.mem[uint16_t(0xffa0 + i)] = image.mem[TABIND + i];
  for (uint16_t i = 0; i < 64; ++i) image.mem[0x0010 + i] = image.mem[TABIND + 112 + i];
  LoadCfg(0);
  const auto cmds = sent();
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(cmds[4], memRead(0xffa0, 112));
  EXPECT_EQ(cmds[5], memRead(0x0010, 64));
  EXPECT_EQ(EcrConf.iConfOK, 1);
}

TEST_F(EcrConfTest, FailedCommandEndsTheRunWithItsResult) {
  // The receipt number read answered with the register's "no change" refusal.
  image.refuseCommand = 2;
  EXPECT_EQ(fake::exitCodeOf([] { LoadCfg(0); }), 8);
  EXPECT_EQ(lastDumpDescription(), " Mancanza resto");
  EXPECT_EQ(sent().size(), 3u);
}

// ------------------------------------------------------------------ expansion memory

TEST_F(EcrConfTest, ExpansionMemoryDescriptor) {
  image = expansionImage();
  LoadCfg(0);
  auto expected = loadCommands();
  expected.push_back({'U', 0, 0});
  expected.push_back({'U', 0, 1});
  expected.push_back({'U', 0, 24});
  EXPECT_EQ(sent(), expected);
  EXPECT_EQ(EcrConf.bFlgEM, 2);
  EXPECT_EQ(EcrConf.iEMStato, 0);
  EXPECT_STREQ(EcrConf.sEMInit, "MEMORIA ESPANSA 2MB");
  expectFields(
      FIELD(iEMArtAdrI, 0x021000u), FIELD(iEMArtAdrD, 0x031234u), FIELD(iEMArtMax, 10000),
      FIELD(iEMArtNum, 261), FIELD(iEMArtDel, 2), FIELD(iEMArtFlgQ, 0x0a), FIELD(iEMArtLnCod, 13),
      FIELD(iEMArtLnDes, 30), FIELD(iEMArtLnCodN, 7), FIELD(iEMArtLnRec, -112),
      FIELD(iEMArtLnRecF, 64), FIELD(bEMArtCodA, 0), FIELD(bEMArtFTot, 0x02), FIELD(bEMArtFGia, 0),
      FIELD(bEMArtFCrc, 0x08), FIELD(iEMDCAdr, 0x030201u), FIELD(iEMDCMaxByte, 0x060504),
      FIELD(iEMDCPntFree, 0x090807u), FIELD(iEMDCPntO, 0x0c0b0au), FIELD(iEMDCNumByte, 0x0f0e0d),
      FIELD(iEMDCNumRec, 0x1234), FIELD(iEMDCFlags, -1), FIELD(iEMCliMax, 1000),
      FIELD(iEMCliNum, 42), FIELD(iEMOffAdr, 0xccbbaau), FIELD(iEMOffMax, 256),
      FIELD(iEMTTGMax, 12), FIELD(iEMTTGLnRec, 12), FIELD(iEMTTGFlags, -127));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(EcrConf.sEMTTGDAzz), 4),
            std::string("xyz\0", 4));
  EXPECT_EQ(EcrConf.bEMFlgCount, 1);
  EXPECT_EQ(EcrConf.iConfOK, 1);
}

TEST_F(EcrConfTest, ExpansionMemoryStateEndsTheStage) {
  struct Case {
    uint8_t state0, state1, count;
    int32_t stato;
    std::size_t queries;
    bool initRead, descriptorRead;
    uint8_t flgCount;
  };
  const Case cases[] = {
      {3, 0, 0, 3, 1, false, false, 7}, {0x80, 0, 0, -128, 1, false, false, 7},
      {0, 5, 0, 5, 2, true, false, 7},  {0, 0, 4, 0, 3, true, true, 0},
      {0, 0, 0, 0, 3, true, true, 1},
  };
  for (const Case& c : cases) {
    image = expansionImage();
    image.emState[0] = c.state0;
    image.emDescriptor[0] = c.state1;
    image.emCount[0] = c.count;
    ecr->commands.clear();
    EcrConf.iConfOK = 0;
    std::memset(EcrConf.sEMInit, 0, sizeof EcrConf.sEMInit);
    EcrConf.iEMArtAdrI = 7;
    EcrConf.bEMFlgCount = 7;
    LoadCfg(0);
    const std::size_t n = loadCommands().size();
    EXPECT_EQ(sent().size(), n + c.queries) << int(c.state0) << "/" << int(c.state1);
    EXPECT_EQ(EcrConf.iEMStato, c.stato);
    EXPECT_EQ(EcrConf.sEMInit[0] != 0, c.initRead);
    EXPECT_EQ(EcrConf.iEMArtAdrI != 7, c.descriptorRead);
    EXPECT_EQ(EcrConf.bEMFlgCount, c.flgCount);
    EXPECT_EQ(EcrConf.iConfOK, 1);
  }
}

// ------------------------------------------------------------------ short answers

TEST_F(EcrConfTest, ShortAnswersAreRefusedBeforeAnythingChanges) {
  struct Case {
    const char* step;
    int command;  // index of the answered command to cut
    std::size_t len;
  };
  // clang-format off
  const Case cases[] = {
      {"identification", 0, 75}, {"identification, empty", 0, 0}, {"memory map", 1, 63},
      {"receipt number", 2, 114}, {"options", 3, 49}, {"index table", 4, 111},
      {"index extension", 5, 63}, {"OOPZ", 6, 49}, {"article codes", 7, 8},
      {"article codes, empty", 7, 0}, {"state, empty", 8, 0}, {"state text", 8, 48},
      {"descriptor, empty", 9, 0}, {"descriptor", 9, 82}, {"count flag, empty", 10, 0},
  };
  // clang-format on
  // What a short answer leaves must be exactly what a refused command leaves at
  // the same point: nothing of the step that read it.
  auto loadEndingAt = [this](int command, std::size_t cutLen, bool refuse) {
    image = expansionImage();
    image.ident[69] = '1';  // an identification that would narrow the description
    (refuse ? image.refuseCommand : image.cutCommand) = command;
    image.cutLen = cutLen;
    std::memset(&EcrConf, 0, sizeof EcrConf);
    MAX_DESC_LEN = _DESC_LEN;
    ecr->commands.clear();
    const int code = fake::exitCodeOf([] { LoadCfg(0); });
    std::vector<uint8_t> after(sizeof EcrConf);
    std::memcpy(after.data(), &EcrConf, sizeof EcrConf);
    after.push_back(uint8_t(MAX_DESC_LEN));
    return std::pair{code, after};
  };
  for (const Case& c : cases) {
    const auto [refusedCode, refused] = loadEndingAt(c.command, 0, true);
    ASSERT_EQ(refusedCode, 8);
    const auto [code, cut] = loadEndingAt(c.command, c.len, false);
    EXPECT_EQ(code, -1) << c.step;
    EXPECT_EQ(lastDumpDescription(), SHORT_ANSWER_TEXT) << c.step;
    EXPECT_EQ(sent().size(), std::size_t(c.command + 1)) << c.step;
    EXPECT_TRUE(cut == refused) << c.step;
  }
}

TEST_F(EcrConfTest, ANonZeroStateNeedsOnlyItsOwnByte) {
  image = expansionImage();
  image.emState = Bytes{3};
  LoadCfg(0);
  EXPECT_EQ(EcrConf.iEMStato, 3);
  EXPECT_EQ(EcrConf.iConfOK, 1);

  image = expansionImage();
  image.emDescriptor = Bytes{0xfb};
  LoadCfg(0);
  EXPECT_EQ(EcrConf.iEMStato, -5);
  EXPECT_STREQ(EcrConf.sEMInit, "MEMORIA ESPANSA 2MB");
}

}  // namespace

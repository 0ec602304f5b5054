// Records 60, 54 and 53: the register's internal totals, and the expansion totals
// read and cleared.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "download/download.h"
#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"

namespace {

constexpr const char* kBadConfigText = "Configurazione non valida per lo scarico totali";

// A memory read answer holds at most 200 bytes.
constexpr int64_t kMaxMemoryRead = 200;

// Identification answer: serial number, then fiscalisation date and time (packed).
constexpr std::size_t kIdSerial = 0, kIdSerialLen = 10;
constexpr std::size_t kIdDate = 30, kIdTime = 33, kIdPackedLen = 3;
constexpr long kIdAnswerLen = 36;

// The general totals written, in this order: code and index in the general totals
// block. The block has more totals than these fifteen, hence the gaps.
constexpr std::string_view Descr = "CANELOCOCRASBUCCSOREANSAMAVOSC";
constexpr std::array<int8_t, NUMTOT> Ref{0, 13, 14, 15, 16, 17, 18, 19, 30, 32, 33, 34, 35, 36, 37};
static_assert(Descr.size() == 2 * NUMTOT);

constexpr long kDotEvery = 16;

// Memory read of len bytes at addr; the command carries only the low 16 bits of the
// address. Ends the run unless the register delivers all len bytes.
std::span<const uint8_t> readMemory(int64_t addr, int64_t len, AnswerBuffer& psRx) {
  const std::array<uint8_t, 4> psTx{'D', static_cast<uint8_t>(addr & 0xFF),
                                    static_cast<uint8_t>((addr >> 8) & 0xFF),
                                    static_cast<uint8_t>(len)};
  return DownloadRequest(psTx, psRx, static_cast<long>(len));
}

bool brandWithExtraDeptBytes(char cCodMarca) {
  return cCodMarca == '7' || cCodMarca == 'F';
}

int64_t deptSkippedBytes() {
  return int64_t{EcrConf.iLnDPTFlags} + 2 + EcrConf.iLnPLUPrice +
         (brandWithExtraDeptBytes(EcrConf.cCodMarca) ? 5 : 0);
}

// Every field of a department or general total record must lie inside the bytes a
// memory read can bring, or the lines would be built from bytes never received.
bool totalsConfigValid() {
  const EcrConfStruct& c = EcrConf;
  if (c.iLTS < 0 || int64_t{c.iLTS} + 2 > kMaxMemoryRead || c.iNumDPT < 0) return false;
  if (c.iNumDPT == 0) return true;
  if (c.iLnDPT < 0 || c.iLnDPT > kMaxMemoryRead || c.iLnDPTName < 0 || c.iLnDPTFlags < 0 ||
      c.iLnPLUPrice < 0)
    return false;
  return int64_t{c.iLnDPTName} + deptSkippedBytes() + 3 * int64_t{c.iLTS} <= c.iLnDPT;
}

void writeIdentification(FILE* DMFile, AnswerBuffer& psRx, FileRow& pszFileRow) {
  const std::array<uint8_t, 1> psTx{'T'};
  const auto id = DownloadRequest(psTx, psRx, kIdAnswerLen);

  RowWriter out{pszFileRow};
  out.put('I'), out.put('T'), out.put('|');
  out.text(id.subspan(kIdSerial, kIdSerialLen));
  out.put('|');
  out.hexField(id.subspan(kIdDate, kIdPackedLen));
  out.hexField(id.subspan(kIdTime, kIdPackedLen));
  WriteOutput(DMFile, pszFileRow.data(), out.finish());
}

void writeDepartment(FILE* DMFile, int32_t n, AnswerBuffer& psRx, FileRow& pszFileRow) {
  const EcrConfStruct& c = EcrConf;
  const auto rec = readMemory(int64_t{c.iAdrDPT} + int64_t{n} * c.iLnDPT, c.iLnDPT, psRx);

  RowWriter out{pszFileRow};
  out.put('R'), out.put('E'), out.put('|');
  // Two digits as the register numbers them; beyond 99 as many as the number needs.
  std::array<char, 12> number{};
  const int digits = std::snprintf(number.data(), number.size(), "%02d", n + 1);
  for (int k = 0; k < digits; ++k) out.put(number[static_cast<std::size_t>(k)]);
  out.put('|');

  const auto name = static_cast<std::size_t>(c.iLnDPTName);
  const auto lts = static_cast<std::size_t>(c.iLTS);
  out.text(rec.first(name));
  out.put('|');
  std::size_t at = name + static_cast<std::size_t>(deptSkippedBytes());
  for (int field = 0; field < 3; ++field, at += lts) out.hexField(rec.subspan(at, lts));
  WriteOutput(DMFile, pszFileRow.data(), out.finish());
}

void writeGeneralTotal(FILE* DMFile, std::size_t i, AnswerBuffer& psRx, FileRow& pszFileRow) {
  const int64_t recLen = int64_t{EcrConf.iLTS} + 2;
  const auto rec = readMemory(int64_t{EcrConf.iAdrTOTG} + Ref[i] * recLen, recLen, psRx);

  RowWriter out{pszFileRow};
  out.put('T'), out.put('O'), out.put('|');
  out.put(Descr[2 * i]), out.put(Descr[2 * i + 1]), out.put('|');
  out.hexField(rec.first(2));
  out.hexField(rec.subspan(2, static_cast<std::size_t>(EcrConf.iLTS)));
  WriteOutput(DMFile, pszFileRow.data(), out.finish());
}

bool truncates(const char* Mode) {
  return Mode[0] == '0' && Mode[1] == '0';
}

}  // namespace

void DoDownloadInt(const char* FileName, const char* Mode) {
  if (!totalsConfigValid()) FatalError(kBadConfigText, -1);
  DownloadFile DMFile = OpenDownloadFile(FileName, truncates(Mode));

  SendDownloadOpening();
  PrintDownloadHeader("Lettura totalizzatori espansione.\n Attendere ");

  AnswerBuffer psRx{};
  FileRow pszFileRow{};
  writeIdentification(DMFile.get(), psRx, pszFileRow);
  for (int32_t n = 0; n < EcrConf.iNumDPT; ++n) {
    if (n % kDotEvery == 0) PrintProgressDot();
    writeDepartment(DMFile.get(), n, psRx, pszFileRow);
  }
  for (std::size_t i = 0; i < Ref.size(); ++i) writeGeneralTotal(DMFile.get(), i, psRx, pszFileRow);

  SendDownloadClosing();
  CloseDownloadFile(std::move(DMFile));
}

void DoReadTotalsExp(const char* FileName, const char* Mode) {
  constexpr uint8_t kTotalRecords = 33;

  DownloadFile DMFile = OpenDownloadFile(FileName, truncates(Mode));
  SendDownloadOpening();

  std::array<uint8_t, 4> psTx{'U', 0x00, 0x13, 0x00};
  PrintDownloadHeader("Lettura totalizzatori interni.\n Attendere ");

  AnswerBuffer psRx{};
  FileRow pszFileRow{};
  for (uint8_t n = 1; n <= kTotalRecords; ++n) {
    if (n % kDotEvery == 0) PrintProgressDot();
    psTx[3] = n;
    // The state byte leads every answer and is not written.
    const std::size_t len = Dimpacc(pszFileRow, DownloadRequest(psTx, psRx, 1).subspan(1));
    WriteOutput(DMFile.get(), pszFileRow.data(), len);
  }

  SendDownloadClosing();
  CloseDownloadFile(std::move(DMFile));
}

void DoClearTotalsExp() {
  SendDownloadOpening();
  const std::array<uint8_t, 3> psTx{'U', 0x00, 0x14};
  AnswerBuffer psRx{};
  // The register's answer to the clear carries nothing this side needs.
  DownloadRequest(psTx, psRx, 0);
  SendDownloadClosing();
}

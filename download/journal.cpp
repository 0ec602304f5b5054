// Record 55: the expansion journal, read record by record into the download file.
#include "download/download.h"
#include "ecrconf/ecrconf.h"
#include "protocol/port.h"
#include "protocol/protocol.h"

namespace {

constexpr uint8_t kEndOfJournal = 0x07;  // state byte of the answer after the last record
constexpr long kDotEvery = 16;           // journal requests per progress dot
// The expansion memory's addresses are 24 bits wide: no journal has more records than
// that, whatever the descriptor says or when it was not read.
constexpr int64_t kMaxJournalRecords = int64_t{1} << 24;
constexpr const char* kExpansionErrorText = "Errore memoria di espansione";

}  // namespace

void DoDownloadExp(const char* FileName, const char* Mode) {
  const bool B2Mode = Mode[0] == '1';
  DownloadFile DMFile = OpenDownloadFile(FileName, Mode[1] == '0');

  SendDownloadOpening();

  // The register keeps the journal position: the same request brings the next record.
  const std::array<uint8_t, 3> psTx{'U', 0x00, 0x0A};
  PrintDownloadHeader("Lettura movimenti espansione.\n Attendere ");

  AnswerBuffer psRx{};
  FileRow pszFileRow{};
  const int64_t limit =
      EcrConf.bEMDescLoaded && EcrConf.iEMDCMaxByte > 0 ? EcrConf.iEMDCMaxByte : kMaxJournalRecords;
  int64_t records = 0;
  for (long i = 0;; ++i) {
    if (i % kDotEvery == 0) PrintProgressDot();

    // Without a state byte the answer says nothing; psRx[0] may be an older answer's.
    const auto answer = DownloadRequest(psTx, psRx, 1);
    if (answer[0] == kEndOfJournal) break;
    // A state that is neither success nor the end, with no record, is the expansion
    // memory failing; and no journal holds more records than the memory has bytes.
    if ((answer[0] != 0 && answer.size() == 1) || ++records > limit) {
      FlushOutput(DMFile.get());
      FatalError(kExpansionErrorText, -1);
    }

    const auto record = answer.subspan(1);
    const std::size_t len = B2Mode ? ParseB2Mode(pszFileRow, record) : Dimpacc(pszFileRow, record);
    WriteOutput(DMFile.get(), pszFileRow.data(), len);
  }

  SendDownloadClosing();
  portPause(10000);
  CloseDownloadFile(std::move(DMFile));
}

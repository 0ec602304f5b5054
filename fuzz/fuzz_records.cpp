// The main loop over a sales file: each line read, widened when short, recorded as the
// last command, and translated into commands for a register that takes everything.
//
// Input: one byte for the description width the model sets, then the sales file.
// The answers to identification, memory and expansion commands are drawn from the
// same bytes, so a line and the register's data are fuzzed together.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/main.h"
#include "driver/records.h"
#include "ecrconf/ecrconf.h"
#include "fuzz/fuzz_port.h"
#include "fuzz/register_answers.h"
#include "protocol/protocol.h"

namespace {

bool isDownloadRecord(const LineBuffer& l) {
  static constexpr const char* codes[] = {"53", "54", "55", "60"};
  for (const char* c : codes)
    if (l[0] == c[0] && l[1] == c[1]) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > 8192) return 0;
  fz::reset();
  MAX_DESC_LEN = data[0] & 1 ? 26 : _DESC_LEN;
  const std::size_t fileLen = size - 1;
  FuzzedDataProvider answers(data + 1, fileLen);
  fz::Obliging ecr;
  ecr.answer = [&answers](std::span<const uint8_t> cmd, uint8_t& letter) {
    return fz::registerAnswer(answers, cmd, letter);
  };
  fz::setPeer([&ecr](std::span<const uint8_t> w) { ecr.onWrite(w); });

  std::vector<uint8_t> text(data + 1, data + size);
  FILE* in = fileLen ? fmemopen(text.data(), fileLen, "r") : std::tmpfile();
  if (!in) std::abort();

  fz::run([&] {
    LineBuffer line{};
    bool fiscal = false;
    for (;;) {
      const SalesLine read = readSalesLine(in, line);
      if (read.result != LineRead::Line) break;
      if (read.len > LINE_BUF_LEN - 1) std::abort();
      const std::size_t len = widenShortForm(line, read.len);
      if (len >= LINE_BUF_LEN) std::abort();
      LastCommand(line.data());
      if (std::strlen(LastCmd) >= LAST_CMD_LEN) std::abort();
      // The downloads write the file the line names; here it is always the same one
      // in the private directory.
      if (isDownloadRecord(line)) std::memcpy(line.data() + recvend::descr, "fzdl-", 5);
      if (isFiscalRecord(line)) {
        if (!fileo) fileo = std::fopen("fuzz.fis", "w+");
        if (!fileo) std::abort();
        fiscal = true;
        LoadCfgModel(1);
      }
      TranslateRecord(line);
    }
    if (fiscal) LoadCfg(1);
  });
  if (fileo) std::fclose(fileo);
  fileo = nullptr;
  std::fclose(in);
  fz::setPeer(nullptr);
  return 0;
}

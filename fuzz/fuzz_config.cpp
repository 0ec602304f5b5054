// The configuration load against any identification answer, memory image, article
// code answer and expansion memory state the input describes, with the fiscal report
// lines written to a file as a fiscal record asks.
//
// Input: one byte choosing the steps (identification with or without the report,
// then the whole load with or without it), then the register's answers.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ecrconf/ecrconf.h"
#include "fuzz/fuzz_port.h"
#include "fuzz/register_answers.h"
#include "protocol/protocol.h"

namespace {

template <std::size_t N>
void checkTerminated(const char (&text)[N], const char* what) {
  if (std::memchr(text, 0, N) == nullptr) {
    std::fprintf(stderr, "%s is not terminated inside its field\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  fz::reset();
  const uint8_t steps = data[0];
  FuzzedDataProvider answers(data + 1, size - 1);
  fz::Obliging ecr;
  ecr.answer = [&answers](std::span<const uint8_t> cmd, uint8_t& letter) {
    return fz::registerAnswer(answers, cmd, letter);
  };
  fz::setPeer([&ecr](std::span<const uint8_t> w) { ecr.onWrite(w); });

  const bool report = steps & 1;
  if (report) {
    fileo = std::fopen("fuzz.fis", "w+");
    if (!fileo) std::abort();
  }
  fz::run([&] {
    LoadCfgModel(report ? 1 : 0);
    if (MAX_DESC_LEN != 26 && MAX_DESC_LEN != _DESC_LEN) std::abort();
    checkTerminated(EcrConf.szMatr, "szMatr");
    checkTerminated(EcrConf.szVers, "szVers");
    checkTerminated(EcrConf.szModel, "szModel");
    checkTerminated(EcrConf.szOra, "szOra");
    checkTerminated(EcrConf.szData, "szData");
    if (steps & 2) LoadCfg(report ? 1 : 0);
    // A second load, as a sales file with records 55 and 60 makes, over the state the
    // first one left.
    if (steps & 4) LoadCfg(0);
    checkTerminated(EcrConf.szNScontrino, "szNScontrino");
  });
  if (fileo) std::fclose(fileo);
  fileo = nullptr;
  fz::setPeer(nullptr);
  return 0;
}

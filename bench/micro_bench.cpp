// Micro-benchmarks of the code cassard runs for every byte and every line: the frame
// it sends, the receiver over the largest answer, the journal formatter, the keypad
// encoders and the trace line.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "bench/bench_port.h"
#include "download/download.h"
#include "driver/keypad.h"
#include "protocol/protocol.h"

namespace {

// An item sale as the driver sends it: 42, the counted description, 49, amount keys
// and the department key.
std::vector<uint8_t> saleCommand() {
  std::vector<uint8_t> c = {'A', 42, 19, 35};
  for (char ch : std::string_view("PANE INTEGRALE                     "))
    c.push_back(static_cast<uint8_t>(ch));
  for (uint8_t k : {49, 1, 2, 13, 5, 10, 77}) c.push_back(k);
  return c;
}

void BM_BuildFrame(benchmark::State& state) {
  const auto cmd = saleCommand();
  std::array<uint8_t, FRAME_BUF_LEN> out{};
  uint8_t num = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildFrame(num++, cmd, out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * cmd.size()));
}
BENCHMARK(BM_BuildFrame);

// The register's frame with sequence number num and 200 data bytes after 'U'.
std::vector<uint8_t> answerFrame(uint8_t num) {
  std::vector<uint8_t> body = {num, 0, 0, 0, 'U'};
  for (int i = 0; i < 200; ++i)
    body.push_back(static_cast<uint8_t>(i * 7));  // some 0x10 among them
  std::vector<uint8_t> f = {DLE, STX};
  uint8_t sum = ETX;
  for (uint8_t b : body) {
    f.push_back(b);
    if (b == DLE) f.push_back(DLE);
    sum ^= b;
  }
  f.insert(f.end(), {DLE, ETX, sum});
  return f;
}

void BM_Automaton200ByteAnswer(benchmark::State& state) {
  const auto frame = answerFrame(1);
  FOpenPort = 3;
  for (auto _ : state) {
    benchport::arrive(frame);
    FLastID = NO_FRAME_ACCEPTED;  // every round is a new answer, not a repetition
    ReadBufferPos = ReadBufferLen = 0;
    StAut = ST_IDLE;
    FReadData = false;
    Automaton(HT_ATTEMPT);
    if (!FReadData || FAnswer.Len != 200 || benchport::written() != 1) {
      state.SkipWithError("the answer was not received");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_Automaton200ByteAnswer);

// Journal records of several types, as the register stores them.
const std::vector<std::vector<uint8_t>> kJournal = {
    {0x02, 0x01, 0x00, 0x00, 0x01, 0x25, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00},
    {0x04, 0x00, 0x12, 0x00, 0x00, 0x01, 0x37, 0x50, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x01,
     0x24},
    {0x07, 0x01, 0x00, 0x00, 0x01, 0x50, 0x00, 0x02, 0x00, 0x00,
     0x00, 0x25, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00},
    {0x0D, 0x01, 0x24, 0x05, 0x31, 0x12, 0x09, 0x15, 0x30, 0x00, 0x01},
};

void BM_ParseB2Mode(benchmark::State& state) {
  FileRow row{};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParseB2Mode(row, kJournal[i]));
    i = (i + 1) % kJournal.size();
  }
}
BENCHMARK(BM_ParseB2Mode);

void BM_Dimpacc(benchmark::State& state) {
  FileRow row{};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Dimpacc(row, kJournal[i]));
    i = (i + 1) % kJournal.size();
  }
}
BENCHMARK(BM_Dimpacc);

void BM_convqta(benchmark::State& state) {
  const char* fields[] = {"000002500", "000012345", "100000000", "000000500"};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(convqta(fields[i]));
    i = (i + 1) & 3;
  }
}
BENCHMARK(BM_convqta);

void BM_convimporto(benchmark::State& state) {
  const char* fields[] = {"000001250", "000000000", "100000000", "012345678"};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(convimporto(fields[i]));
    i = (i + 1) & 3;
  }
}
BENCHMARK(BM_convimporto);

void BM_LogBinToHex(benchmark::State& state) {
  const auto frame = answerFrame(1);
  const long n = state.range(0);
  std::vector<char> out(5 + 3 * static_cast<std::size_t>(n) + 2);
  for (auto _ : state) {
    LogBinToHex(frame.data(), n, out.data(), "ECR: ");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LogBinToHex)->Arg(1)->Arg(14)->Arg(80);

void BM_LogWrite(benchmark::State& state) {
  const auto frame = answerFrame(1);
  const long n = state.range(0);
  for (auto _ : state) {
    LogWrite(frame.data(), n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LogWrite)->Arg(1)->Arg(14)->Arg(140);

}  // namespace

BENCHMARK_MAIN();

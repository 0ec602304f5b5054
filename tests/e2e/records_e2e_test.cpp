// Whole sales files through cassard to ecrsim: the commands the register received,
// byte for byte, and what became of the sale.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "rig.h"

namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

Bytes text(std::string s, std::size_t width = 0) {
  if (s.size() < width) s.resize(width, ' ');
  return Bytes(s.begin(), s.end());
}

// One command as ecrsim records it: the letter and the payload in upper-case hex.
std::string cmd(char letter, std::initializer_list<Bytes> parts) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  auto put = [&](uint8_t b) {
    out += digits[b >> 4];
    out += digits[b & 15];
  };
  put(static_cast<uint8_t>(letter));
  for (const auto& p : parts)
    for (uint8_t b : p) put(b);
  return out;
}
const std::string Z = "4100";
const std::string IDENTIFY = "54";
const std::string CLOSE = "4800";
const std::string STATUS = "53";

TEST(RecordsE2e, AFullReceiptLeavesTheSaleClosed) {
  const std::string sales =
      sales::line("03", "", "", "05") + sales::line("00", "", "2500") + sales::line("02") +
      sales::line("01", "PANE INTEGRALE", "1250", "04") +
      // short forms: a 16-character description with CR LF, a 27-character text
      "01CAFFE           000005000  \r\n" + "04GRAZIE DELLA VISITA        \n" +
      sales::line("10", "", "5000") + sales::line("DY", "ARRIVEDERCI", "", "13") +
      sales::line("99");
  rig::Rig rig;
  const rig::Run run = rig.cassard(sales);
  EXPECT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(rig.commands(),
            (Lines{IDENTIFY, Z, cmd('A', {{0, 5, 39}}), Z,
                   cmd('A', {{42, 19, 35},
                             text("PANE INTEGRALE", 35),
                             {49, 28, 2, 13, 5, 27, 1, 2, 5, 10, 78}}),
                   Z, cmd('A', {{42, 19, 35}, text("CAFFE", 35), {49, 5, 10, 10, 10, 78}}), Z,
                   cmd('A', {{19, 38, 3, 0}, text("GRAZIE DELLA VISITA", 35), {0, 56}}), Z,
                   cmd('A', {{5, 10, 10, 10, 49}}), Z, cmd('O', {{1}, text("ARRIVEDERCI", 16)}),
                   cmd('O', {{10, 12}}), STATUS, CLOSE}));
  EXPECT_TRUE(contains(rig.roll(), "closed")) << rig.roll();
  EXPECT_EQ(rig.dumpLog(), "");
}

TEST(RecordsE2e, AnOpenSaleAtTheEndOfSaleCheckStopsTheRun) {
  const std::string sales = sales::line("01", "PANE", "250", "01") + sales::line("99") +
                            sales::line("10", "", "250") + sales::line("99");
  rig::Rig rig;
  const rig::Run run = rig.cassard(sales);
  EXPECT_EQ(run.status, 99) << run.console;
  // Nothing after the failing line is sent, not even the closing command.
  EXPECT_EQ(
      rig.commands(),
      (Lines{IDENTIFY, Z, cmd('A', {{42, 19, 35}, text("PANE", 35), {49, 2, 5, 10, 75}}), STATUS}));
  const std::string dump = rig.dumpLog();
  EXPECT_TRUE(contains(dump, "Ultimo comando: 99")) << dump;
  EXPECT_TRUE(contains(dump, "\nDescrizione: Transazione in corso\nCodice di uscita: 99 ")) << dump;
  EXPECT_TRUE(contains(run.console, "Transazione in corso")) << run.console;
}

}  // namespace

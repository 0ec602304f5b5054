// Sales lines against the exact commands the register receives, and the pacing
// between them.

#include "driver/records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ecrconf/ecrconf.h"
#include "protocol/protocol.h"
#include "support/fake_port.h"
#include "support/files.h"
#include "support/link_reset.h"
#include "support/scripted_ecr.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A standard line: code, description padded to 35, amount padded to 9 with zeros,
// the 2-character number column, CR LF.
std::string L(std::string code, std::string desc = "", std::string amount = "000000000",
              std::string number = "  ") {
  desc.resize(35, ' ');
  amount.resize(9, '0');
  return code + desc + amount + number + "\r\n";
}

LineBuffer buffer(std::string_view text) {
  LineBuffer b{};
  text.copy(b.data(), b.size() - 1);
  return b;
}

Bytes bytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}
// The description column as sent: padded to 35, first n characters.
Bytes D(std::string s, std::size_t n = 35) {
  s.resize(35, ' ');
  return bytes(s.substr(0, n));
}
Bytes cmd(uint8_t letter, std::initializer_list<Bytes> parts) {
  Bytes out{letter};
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes A(std::initializer_list<Bytes> parts) {
  return cmd('A', parts);
}
Bytes O(std::initializer_list<Bytes> parts) {
  return cmd('O', parts);
}
const Bytes Z{'A', 0};

class Records : public testing::Test {
 protected:
  void SetUp() override {
    ecr.reset();  // before fake::reset: its destructor unhooks the peer
    fake::reset();
    ecr = std::make_unique<ScriptedEcr>();
    resetLink();
  }
  std::vector<Bytes> run(const std::vector<std::string>& lines) {
    for (const auto& l : lines) TranslateRecord(buffer(l));
    return ecr->realCommands();
  }
  std::unique_ptr<ScriptedEcr> ecr;
};

// A sales line and the commands it must send.
struct Step {
  std::string line;
  std::vector<Bytes> sent;
};
// Steps that run one after another over the same translation state.
struct Case {
  const char* legend;
  std::vector<Step> steps;
};

TEST_F(Records, EveryRecordCodeSendsItsCommands) {
  const std::string col46 = std::string(46, ' ');
  const std::string digits200(200, '9');
  auto sale = [](std::string d, Bytes tail) { return A({{42, 19, 35}, D(d), tail}); };
  const Case cases[] = {
      {"quantity and return pending into the sale, department 4",
       {{L("00", "", "000002500"), {}},
        {L("02"), {}},
        {L("01", "PANE", "000001250", "04"),
         {Z, sale("PANE", {49, 28, 2, 13, 5, 27, 1, 2, 5, 10, 78})}}}},
      {"quantity survives a 05 in between; only the first sale carries it",
       {{L("00", "", "000003000"), {}},
        {L("05", "", "000000100"), {A({{36, 1, 10, 10, 33}})}},
        {L("01", "X", "000000100", "02"), {Z, sale("X", {49, 3, 27, 1, 10, 10, 76})}},
        {L("01", "Y", "000000100", "02"), {Z, sale("Y", {49, 1, 10, 10, 76})}}}},
      {"the return too is used up by the first sale",
       {{L("02"), {}},
        {L("01", "A", "000000005", "01"), {Z, sale("A", {49, 28, 5, 75})}},
        {L("01", "B", "000000005", "01"), {Z, sale("B", {49, 5, 75})}}}},
      {"departments: blank keeps the last, above 30 and negative give 1, 00 gives key 74",
       {{L("01", "", "000000001"), {Z, sale("", {49, 1, 75})}},
        {L("01", "", "000000001", "07"), {Z, sale("", {49, 1, 81})}},
        {L("01", "", "000000001"), {Z, sale("", {49, 1, 81})}},
        {L("01", "", "000000001", "30"), {Z, sale("", {49, 1, 104})}},
        {L("01", "", "000000001", "31"), {Z, sale("", {49, 1, 75})}},
        {L("01", "", "000000001", "99"), {Z, sale("", {49, 1, 75})}},
        {L("01", "", "000000001", "00"), {Z, sale("", {49, 1, 74})}},
        {L("01", "", "000000001", "-3"), {Z, sale("", {49, 1, 75})}}}},
      {"operators: 5, 10, 15; 0, 16 and blank give 15",
       {{L("03", "", "", "05"), {Z, A({{0, 5, 39}})}},
        {L("03", "", "", "10"), {Z, A({{1, 0, 39}})}},
        {L("03", "", "", "15"), {Z, A({{1, 5, 39}})}},
        {L("03", "", "", "00"), {Z, A({{1, 5, 39}})}},
        {L("03", "", "", "16"), {Z, A({{1, 5, 39}})}},
        {L("03"), {Z, A({{1, 5, 39}})}}}},
      {"amount and description rows",
       {{L("04", "RIGA"), {Z, A({{19, 38, 3, 0}, D("RIGA"), {0, 56}})}},
        {L("05"), {A({{36, 33}})}},
        {L("05", "", "00012.500"), {A({{36, 1, 2, 13, 5, 10, 10, 33}})}},
        {L("06", "", "000000007"), {A({{7, 33}})}},
        {L("07", "", "000000007"), {A({{7, 31}})}},
        {L("08", "NOTA"), {A({{42, 19, 35}, D("NOTA"), {145}})}},
        {L("70"), {Z, A({{19, 2, 4, 128, 56}})}},
        {L("71", "CLIENTE"), {A({{19, 38, 4, 1}, D("CLIENTE"), {0, 56}})}},
        {L("72"), {Z, A({{19, 2, 4, 0, 56}})}}}},
      {"payments and totals",
       {{L("10", "", "000000500"), {Z, A({{5, 10, 10, 49}})}},
        {L("12", "", "000000500"), {Z, A({{5, 10, 10, 49}})}},
        {L("11"), {Z, A({{49}})}},
        {L("13"), {Z, A({{49}})}},
        {L("15"), {Z, A({{36}})}},
        {L("20", "", "000000003"), {Z, A({{3, 51}})}},
        {L("21", "", "000000004"), {Z, A({{4, 125}})}},
        {L("23", "", "000000004"), {Z, A({{4, 125}})}},
        {L("22", "", "000000005"), {Z, A({{5, 126}})}},
        {L("24", "", "000000005"), {Z, A({{5, 126}})}},
        {L("35"), {Z, A({{50}})}},
        {L("30", "", "000000006"), {Z, A({{6, 54}})}},
        {L("40"), {Z, A({{0, 30, 30, 30, 30, 30, 49}})}},
        {L("50"), {Z, A({{0, 30, 30, 30, 30, 49}})}}}},
      {"reports; N is read like atol from column 46 and sent modulo 256",
       {{L("1C"), {Z, A({{15}}), Z}},
        {L("2C"), {Z, A({{16}}), Z}},
        {L("3C"), {Z, A({{17}}), Z}},
        {L("51", "", "", "07"), {Z, A({{17}}), A({{7, 147, 145, 145}}), A({{15}}), Z}},
        {L("52", "", "", "-1"), {Z, A({{16}}), A({{255, 147, 145}}), A({{15}}), Z}},
        {"51" + col46.substr(2) + " \t+9\n", {Z, A({{17}}), A({{9, 147, 145, 145}}), A({{15}}), Z}},
        {"51" + col46.substr(2) + digits200,
         {Z, A({{17}}), A({{255, 147, 145, 145}}), A({{15}}), Z}}}},
      {"HL: 1 and less send no extra 145, 3 sends two",
       {{L("HL", "T", "", "01"),
         {Z, A({{18}}), A({{4, 147, 145}}), A({{19, 35}, D("T"), {145, 146, 146, 146}}), A({{15}}),
          Z}},
        {L("HL", "T", "", "-4"),
         {Z, A({{18}}), A({{4, 147, 145}}), A({{19, 35}, D("T"), {145, 146, 146, 146}}), A({{15}}),
          Z}},
        {L("HL", "T", "", "03"),
         {Z, A({{18}}), A({{4, 147, 145}}), A({{145}}), A({{145}}),
          A({{19, 35}, D("T"), {145, 146, 146, 146}}), A({{15}}), Z}}}},
      {"75 sends the first word, at most 16, ends at a short line's end, keeps the department",
       {{L("01", "", "000000001", "05"), {Z, sale("", {49, 1, 79})}},
        {L("75", "ABC DEF"), {Z, A({{61, 19, 3}, bytes("ABC"), {145}})}},
        {L("01", "", "000000001"), {Z, sale("", {49, 1, 79})}},
        {L("75", "ABCDEFGHIJKLMNOPQRST"), {Z, A({{61, 19, 16}, bytes("ABCDEFGHIJKLMNOP"), {145}})}},
        {L("75"), {Z, A({{61, 19, 0, 145}})}},
        {"75AB\r\n", {Z, A({{61, 19, 2}, bytes("AB"), {145}})}},
        {"75XYZ\n", {Z, A({{61, 19, 3}, bytes("XYZ"), {145}})}},
        {"75Q", {Z, A({{61, 19, 1}, bytes("Q"), {145}})}}}},
      {"'O' rows: 80 to 83 with their columns as plain characters",
       {{L("80"), {Z, O({{11, 1}})}},
        {L("81", "TESTO", "000012345", "67"),
         {O({{13, 0, 0, 0}, D("TESTO"), bytes("000012345"), bytes("67")})}},
        {L("83", "T", "000000001", "07"),
         {O({{13, 0, 7, 0}, D("T"), bytes("000000001"), bytes("07")})}},
        {L("83", "T", "000000001", "12"),
         {O({{13, 0, 12, 0}, D("T"), bytes("000000001"), bytes("12")})}},
        {L("82"), {O({{12, 0}})}}}},
      {"DY: options 0 to 3, spaces kept, 16 characters, short lines end at the line end",
       {{L("DY", "RIGA DI TESTO LUNGA", "", "20"), {O({{2}, bytes("RIGA DI TESTO LU")})}},
        {L("DY", "A", "", "51"), {Z, O({{5}, D("A", 16)})}},
        {L("DY", "B", "", "12"), {O({{1}, D("B", 16)}), O({{10, 12}})}},
        {L("DY", "C", "", "03"), {Z, O({{0}, D("C", 16)}), O({{10, 12}})}},
        {"DYCIAO\r\n", {O({{208}, bytes("CIAO")})}},
        {"DYHI\n", {O({{208}, bytes("HI")})}}}},
      {"codes that match nothing send nothing",
       {{"", {}}, {"\n", {}}, {"hl", {}}, {"dy", {}}, {"9", {}}, {L("XX"), {}}, {L("1c"), {}}}},
  };
  for (const auto& c : cases) {
    SetUp();
    std::size_t seen = 0;
    for (const auto& step : c.steps) {
      SCOPED_TRACE(std::string(c.legend) + ": " + step.line);
      TranslateRecord(buffer(step.line));
      const auto all = ecr->realCommands();
      EXPECT_EQ(std::vector<Bytes>(all.begin() + static_cast<long>(seen), all.end()), step.sent);
      seen = all.size();
    }
  }
}

TEST_F(Records, HlRowsAreCappedAtTheNumberColumnWidth) {
  const auto sent = run({"HL" + std::string(44, ' ') + std::string(200, '9')});
  // Z, 18, 4 147 145, then the extra rows, description, 15, Z
  ASSERT_EQ(sent.size(), 3u + 98u + 3u);
  EXPECT_EQ(sent[3], Bytes({'A', 145}));
  EXPECT_EQ(sent[100], Bytes({'A', 145}));
  EXPECT_EQ(sent[101][1], 19);
}

TEST_F(Records, NarrowModelsSendA26CharacterDescription) {
  MAX_DESC_LEN = 26;
  const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456";
  const auto sent = run({L("01", text, "000000001", "02"), L("81", text, "000000009", "11")});
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], A({{42, 19, 26}, bytes(text.substr(0, 26)), {49, 1, 76}}));
  EXPECT_EQ(sent[2].size(), 1u + 41u);
  EXPECT_EQ(sent[2],
            O({{13, 0, 0, 0}, bytes(text.substr(0, 26)), bytes("000000009"), bytes("11")}));
}

// The commands and the pauses between them, as one timeline: "Z", "A", "O", "S" for
// each command, the pause length in µs for each pause.
std::vector<std::string> timeline(ScriptedEcr& ecr, const std::vector<std::string>& lines) {
  std::vector<std::pair<std::size_t, std::string>> cmds;  // pauses before it, command
  ecr.responder = [&](std::span<const uint8_t> c) {
    if (c[0] != 'I') {
      const bool zero = c.size() == 2 && c[0] == 'A' && c[1] == 0;
      cmds.emplace_back(fake::pauses().size(), zero ? "Z" : std::string(1, char(c[0])));
    }
    return EcrAnswer{'S', {0, 0, 0}};
  };
  for (const auto& l : lines) TranslateRecord(buffer(l));
  std::vector<std::string> out;
  std::size_t p = 0;
  for (const auto& [before, name] : cmds) {
    for (; p < before; ++p) out.push_back(std::to_string(fake::pauses()[p].micros));
    out.push_back(name);
  }
  for (; p < fake::pauses().size(); ++p) out.push_back(std::to_string(fake::pauses()[p].micros));
  return out;
}

TEST_F(Records, PausesSitWhereTheRegisterNeedsThem) {
  using T = std::vector<std::string>;
  const struct {
    const char* legend;
    std::string line;
    T expected;
  } cases[] = {
      {"01", L("01", "", "000000001", "01"), {"10000", "Z", "10000", "A", "10000"}},
      {"51", L("51", "", "", "03"), {"Z", "A", "A", "1000", "A", "Z"}},
      {"52", L("52", "", "", "03"), {"Z", "A", "A", "1000", "A", "Z"}},
      {"HL", L("HL", "", "", "02"), {"Z", "A", "A", "1000", "A", "A", "A", "Z"}},
      {"1C", L("1C"), {"Z", "A", "Z", "1000"}},
      {"3C", L("3C"), {"Z", "A", "Z", "1000"}},
      {"04 has none", L("04"), {"Z", "A"}},
      {"DY has none", L("DY", "", "", "03"), {"Z", "O", "O"}},
      {"53", L("53"), {"H", "U", "H", "10000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.legend);
    SetUp();
    EXPECT_EQ(timeline(*ecr, {c.line}), c.expected);
  }
}

TEST_F(Records, EndOfSaleCheck) {
  ecr->saleOpen = 0;
  EXPECT_EQ(run({L("99")}), std::vector<Bytes>{{'S'}});

  SetUp();
  std::remove("dump0315.log");
  ecr->saleOpen = 1;
  EXPECT_EQ(fake::exitCodeOf([&] { run({L("99")}); }), 99);
  EXPECT_EQ(ecr->realCommands(), std::vector<Bytes>{{'S'}});
  EXPECT_TRUE(contains(readFile("dump0315.log"),
                       "\nDescrizione: Transazione in corso\nCodice di uscita: 99 "));
}

}  // namespace

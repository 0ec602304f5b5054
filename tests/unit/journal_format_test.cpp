// Journal records to lines: every record type against its exact line, the records
// that do not fit their layout, and the hex line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "download/download.h"

namespace {

std::vector<uint8_t> bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// Runs a line builder on a buffer full of leftovers, so a byte not written shows.
template <typename Fn>
std::string line(Fn fn, const std::vector<uint8_t>& record) {
  FileRow row;
  row.fill('X');
  const std::size_t len = fn(row, record);
  EXPECT_LT(len, row.size());
  EXPECT_EQ(row[len], '\0') << "line not terminated";
  return std::string(row.data(), len);
}

std::string formatted(const std::vector<uint8_t>& record) {
  return line([](FileRow& r, std::span<const uint8_t> s) { return ParseB2Mode(r, s); }, record);
}
std::string hexLine(const std::vector<uint8_t>& record) {
  return line([](FileRow& r, std::span<const uint8_t> s) { return Dimpacc(r, s); }, record);
}

struct Case {
  const char* legend;
  const char* record;
  const char* expected;
};

// clang-format off
const Case kRecordTypes[] = {
  {"sale",                  "02 10 11 12 13 14 15 16 17 18 19 1A", "VE|10|1112131415|161718191A|\n"},
  {"sale 0x40",             "42 10 11 12 13 14 15 16 17 18 19 1A", "AN|10|1112131415|161718191A|\n"},
  {"sale 0x80",             "82 10 11 12 13 14 15 16 17 18 19 1A", "RE|10|1112131415|161718191A|\n"},
  {"sale 0xC0",             "C2 10 11 12 13 14 15 16 17 18 19 1A", "AR|10|1112131415|161718191A|\n"},
  {"total",                 "04 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F",
                                                                   "TV|0102|0304050607|08090A|0B0C|0D0E0F|\n"},
  {"operator",              "06 AB",                               "OP|AB|\n"},
  {"key",                   "08 05",                               "CC|05|\n"},
  {"report",                "09 10 11 12 13 14 15 16",             "MP|1011|1213141516|0000000000|\n"},
  {"report 0x40 is A-nine", "49 10 11 12 13 14 15 16",             "A9|1011|1213141516|0000000000|\n"},
  {"report 0x80",           "89 10 11 12 13 14 15 16",             "SP|1011|1213141516|0000000000|\n"},
  {"report 0xC0",           "C9 FF FF 99 99 99 99 99",             "AP|FFFF|9999999999|0000000000|\n"},
  {"subtotal report",       "0A 10 11 12 13 14 15 16",             "MT|1011|1213141516|\n"},
  {"subtotal report 0x40",  "4A 10 11 12 13 14 15 16",             "AA|1011|1213141516|\n"},
  {"subtotal report 0x80",  "8A 10 11 12 13 14 15 16",             "ST|1011|1213141516|\n"},
  {"subtotal report 0xC0",  "CA 10 11 12 13 14 15 16",             "AT|1011|1213141516|\n"},
  {"value report",          "0B 01 02 03 04 05 06 07 08 09 0A",    "MV|0102030405|060708090A|\n"},
  {"value report 0x40",     "4B 01 02 03 04 05 06 07 08 09 0A",    "AB|0102030405|060708090A|\n"},
  {"value report 0x80",     "8B 01 02 03 04 05 06 07 08 09 0A",    "SV|0102030405|060708090A|\n"},
  {"value report 0xC0",     "CB 01 02 03 04 05 06 07 08 09 0A",    "AV|0102030405|060708090A|\n"},
  {"value subtotal",        "0C 01 02 03 04 05",                   "MS|0102030405|\n"},
  {"value subtotal 0x40",   "4C 01 02 03 04 05",                   "AC|0102030405|\n"},
  {"value subtotal 0x80",   "8C 01 02 03 04 05",                   "SS|0102030405|\n"},
  {"value subtotal 0xC0",   "CC 01 02 03 04 05",                   "AS|0102030405|\n"},
  {"header",                "0D 21 22 23 24 25 26 27 28 29 2A",    "IT|2122|23|2425|262728|292A|\n"},
  {"subtotal",              "0E 01 02 03 04 05 06 07 08 09 0A 0B 0C",
                                                                   "SU|0102|0304050607|08090A|0B0C|\n"},
  {"lower-case hex never",  "06 ab",                               "OP|AB|\n"},
  {"bytes past the layout are not fields",
                            "08 05 06 07",                         "CC|05|\n"},
  // The closing record: groups up to a zero code byte or the end of the record.
  {"closing, one group",    "07 01 00 00 01 50 00 00",             "FT|01|0000015000|\n"},
  {"closing, no group",     "07 00 11 22",                         "FT|\n"},
  {"closing, empty body",   "07",                                  "FT|\n"},
  {"closing, three groups", "07 01 11 12 13 14 15 02 21 22 23 24 25 03 31 32 33 34 35 00 44",
                                          "FT|01|1112131415|02|2122232425|03|3132333435|\n"},
  {"closing, ends on a group edge",
                            "07 01 11 12 13 14 15",                "FT|01|1112131415|\n"},
  {"closing, zero value bytes do not end it",
                            "07 09 00 00 00 00 00 00",             "FT|09|0000000000|\n"},
};

// A type that is not in the table, or a record too short for its layout, goes out raw.
const Case kRawRecords[] = {
  {"0x44: only 0x02 has top-bit variants", "44 01 02",           "NG|440102\n"},
  {"type 0",                               "00 01",              "NG|0001\n"},
  {"type 1",                               "01",                 "NG|01\n"},
  {"type 3",                               "03 FF",              "NG|03FF\n"},
  {"one-byte type 5",                      "05",                 "NG|05\n"},
  {"type 0x0F",                            "0F 00",              "NG|0F00\n"},
  {"0xCD, past the last label",            "CD 01 02 03 04 05",  "NG|CD0102030405\n"},
  {"type 0xFF",                            "FF",                 "NG|FF\n"},
  {"0x86: operator has no variants",       "86 01",              "NG|8601\n"},
  {"empty record",                         "",                   "NG|\n"},
  {"sale one byte short",                  "02 10 11 12 13 14 15 16 17 18 19",
                                                                 "NG|0210111213141516171819\n"},
  {"operator without its byte",            "06",                 "NG|06\n"},
  {"report one byte short",                "09 10 11 12 13 14 15", "NG|09101112131415\n"},
  {"total one byte short",                 "04 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E",
                                                                 "NG|04010203040506070809 0A0B0C0D0E\n"},
  {"closing ends inside its second group", "07 01 11 12 13 14 15 02 21 22",
                                                                 "NG|0701111213141502 2122\n"},
  {"closing ends after a code byte",       "07 01",              "NG|0701\n"},
};
// clang-format on

std::string withoutSpaces(std::string s) {
  std::erase(s, ' ');
  if (s.back() != '\n') s += '\n';
  return s;
}

TEST(JournalFormat, EveryRecordTypeGivesItsLine) {
  for (const Case& c : kRecordTypes) {
    EXPECT_EQ(formatted(bytes(c.record)), c.expected) << c.legend;
  }
}

TEST(JournalFormat, UnknownAndShortRecordsAreWrittenRaw) {
  for (const Case& c : kRawRecords) {
    EXPECT_EQ(formatted(bytes(c.record)), withoutSpaces(c.expected)) << c.legend;
  }
}

TEST(JournalFormat, LongestRecordsFitTheLine) {
  // 33 closing groups fill a 199-byte record to the last byte.
  std::vector<uint8_t> closing{0x07};
  std::string expected = "FT|";
  for (int g = 0; g < 33; ++g) {
    const auto code = static_cast<uint8_t>(g + 1);
    closing.insert(closing.end(), {code, 0x99, 0x88, 0x77, 0x66, 0x55});
    char group[16];
    std::snprintf(group, sizeof group, "%02X|9988776655|", code);
    expected += group;
  }
  ASSERT_EQ(closing.size(), MAX_JOURNAL_RECORD);
  EXPECT_EQ(formatted(closing), expected + "\n");

  std::vector<uint8_t> unknown(MAX_JOURNAL_RECORD, 0xEE);
  EXPECT_EQ(formatted(unknown), "NG|" + std::string(2 * MAX_JOURNAL_RECORD, 'E') + "\n");
}

TEST(HexLine, BytesAsUpperCaseDigits) {
  const Case cases[] = {
      {"three bytes", "02 1F A0", "021FA0\n"},
      {"zero bytes inside", "0A FF 00", "0AFF00\n"},
      {"every nibble", "01 23 45 67 89 AB CD EF", "0123456789ABCDEF\n"},
      {"empty record: a bare line feed", "", "\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexLine(bytes(c.record)), c.expected) << c.legend;

  std::vector<uint8_t> longest(MAX_JOURNAL_RECORD, 0x5A);
  std::string expected;
  for (std::size_t i = 0; i < MAX_JOURNAL_RECORD; ++i) expected += "5A";
  EXPECT_EQ(hexLine(longest), expected + "\n");
}

TEST(HexLine, InputBeyondTheLineIsCutNotOverrun) {
  // The link never hands over more than 199 bytes; anything longer must still stay
  // inside the line buffer and end with its line feed.
  const std::vector<uint8_t> huge(400, 0x11);
  for (const std::string& got : {hexLine(huge), formatted(huge)}) {
    ASSERT_EQ(got.size(), FILE_ROW_LEN - 1);
    EXPECT_EQ(got.back(), '\n');
  }
}

}  // namespace

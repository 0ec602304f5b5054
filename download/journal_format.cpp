// Journal records as lines: the hex line of every download and the labelled,
// '|'-separated lines of the formatted journal. Pure functions: no I/O, no globals.
#include <algorithm>
#include <array>
#include <string_view>

#include "download/download.h"

// ---------------------------------------------------------------- line building

void RowWriter::put(char c) {
  // The last two places belong to the line feed and the terminator.
  if (len + 2 < row.size()) row[len++] = c;
}

void RowWriter::text(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) put(static_cast<char>(b));
}

void RowWriter::hex(std::span<const uint8_t> bytes) {
  static constexpr std::string_view digits = "0123456789ABCDEF";
  for (uint8_t b : bytes) {
    put(digits[b >> 4]);
    put(digits[b & 0x0F]);
  }
}

std::size_t RowWriter::finish() {
  row[len++] = '\n';
  row[len] = '\0';
  return len;
}

std::size_t Dimpacc(FileRow& sDest, std::span<const uint8_t> sIn) {
  RowWriter out{sDest};
  out.hex(sIn);
  return out.finish();
}

// ---------------------------------------------------------------- the record layouts

namespace {

// Field widths in body bytes (the body is the record after its type byte), in the
// order the fields appear on the line. Every field is written in hex; a body shorter
// than its layout is refused and the record goes out as an NG line instead.
// clang-format off
constexpr std::array<std::size_t, 3> kOperaz {1, 5, 5};        // b0 | b1-b5 | b6-b10
constexpr std::array<std::size_t, 5> kTotale {2, 5, 3, 2, 3};  // b0-b1 | b2-b6 | b7-b9 | b10-b11 | b12-b14
constexpr std::array<std::size_t, 1> kOperat {1};              // b0
constexpr std::array<std::size_t, 1> kChiave {1};              // b0
constexpr std::array<std::size_t, 2> kSPRep  {2, 5};           // b0-b1 | b2-b6 | ten '0'
constexpr std::array<std::size_t, 2> kSPSubt {2, 5};           // b0-b1 | b2-b6
constexpr std::array<std::size_t, 2> kSRep   {5, 5};           // b0-b4 | b5-b9
constexpr std::array<std::size_t, 1> kSSubt  {5};              // b0-b4
constexpr std::array<std::size_t, 5> kTestata{2, 1, 2, 3, 2};  // b0-b1 | b2 | b3-b4 | b5-b7 | b8-b9
constexpr std::array<std::size_t, 4> kSubt   {2, 5, 3, 2};     // b0-b1 | b2-b6 | b7-b9 | b10-b11
// clang-format on

// The MP/A9/SP/AP lines end with a constant field, whatever the record holds.
constexpr std::string_view kSPRepBlank = "0000000000";

bool fixedFields(RowWriter& out, std::span<const uint8_t> body, std::span<const std::size_t> widths,
                 std::string_view blank = {}) {
  std::size_t need = 0;
  for (std::size_t w : widths) need += w;
  if (body.size() < need) return false;

  out.put('|');
  std::size_t at = 0;
  for (std::size_t w : widths) {
    out.hexField(body.subspan(at, w));
    at += w;
  }
  if (!blank.empty()) {
    for (char c : blank) out.put(c);
    out.put('|');
  }
  return true;
}

bool PROperaz(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kOperaz);
}
bool PRTotale(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kTotale);
}
bool PROperat(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kOperat);
}
bool PRChiave(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kChiave);
}
bool PRSPRep(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kSPRep, kSPRepBlank);
}
bool PRSPSubt(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kSPSubt);
}
bool PRSRep(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kSRep);
}
bool PRSSubt(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kSSubt);
}
bool PRTestata(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kTestata);
}
bool PRSubt(RowWriter& out, std::span<const uint8_t> b) {
  return fixedFields(out, b, kSubt);
}

// Closing record: groups of a code byte and five value bytes, up to a zero code byte
// or the end of the record. A record that ends inside a group has lost bytes on the
// way and is refused rather than written with a part of a group.
constexpr std::size_t kChiusGroup = 6;

bool PRChius(RowWriter& out, std::span<const uint8_t> body) {
  std::size_t end = 0;
  while (end < body.size() && body[end] != 0) {
    if (body.size() - end < kChiusGroup) return false;
    end += kChiusGroup;
  }
  out.put('|');
  for (std::size_t p = 0; p < end; p += kChiusGroup) {
    out.hexField(body.subspan(p, 1));
    out.hexField(body.subspan(p + 1, kChiusGroup - 1));
  }
  return true;
}

using Formatter = bool (*)(RowWriter&, std::span<const uint8_t>);

struct RecordType {
  uint8_t type;
  std::string_view label;
  Formatter format;
};

// For 0x02 and 0x09 to 0x0C the two top bits pick one of four labels for the same
// layout; the other types are known only with both bits clear. Any type not listed
// is written raw as NG.
constexpr std::array<RecordType, 26> kRecordTypes{{
    {0x02, "VE", PROperaz},  {0x42, "AN", PROperaz}, {0x82, "RE", PROperaz}, {0xC2, "AR", PROperaz},
    {0x04, "TV", PRTotale},  {0x06, "OP", PROperat}, {0x07, "FT", PRChius},  {0x08, "CC", PRChiave},
    {0x09, "MP", PRSPRep},   {0x49, "A9", PRSPRep},  {0x89, "SP", PRSPRep},  {0xC9, "AP", PRSPRep},
    {0x0A, "MT", PRSPSubt},  {0x4A, "AA", PRSPSubt}, {0x8A, "ST", PRSPSubt}, {0xCA, "AT", PRSPSubt},
    {0x0B, "MV", PRSRep},    {0x4B, "AB", PRSRep},   {0x8B, "SV", PRSRep},   {0xCB, "AV", PRSRep},
    {0x0C, "MS", PRSSubt},   {0x4C, "AC", PRSSubt},  {0x8C, "SS", PRSSubt},  {0xCC, "AS", PRSSubt},
    {0x0D, "IT", PRTestata}, {0x0E, "SU", PRSubt},
}};

void label(RowWriter& out, std::string_view text) {
  for (char c : text) out.put(c);
}

}  // namespace

std::size_t ParseB2Mode(FileRow& sDest, std::span<const uint8_t> sIn) {
  RowWriter out{sDest};
  if (!sIn.empty()) {
    const auto* type = std::find_if(kRecordTypes.begin(), kRecordTypes.end(),
                                    [&](const RecordType& t) { return t.type == sIn[0]; });
    if (type != kRecordTypes.end()) {
      label(out, type->label);
      if (type->format(out, sIn.subspan(1))) return out.finish();
      out.len = 0;  // too short for its layout: written raw below
    }
  }
  label(out, "NG|");
  out.hex(sIn);
  return out.finish();
}

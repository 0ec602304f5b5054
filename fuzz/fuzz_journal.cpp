// The journal line formatters on any record the expansion memory may hold.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download/download.h"

namespace {

void checkLine(const FileRow& row, std::size_t len, const char* who) {
  // A line ends with its line feed and a terminator, inside the row.
  if (len == 0 || len >= row.size() || row[len] != '\0' || row[len - 1] != '\n' ||
      std::strlen(row.data()) != len) {
    std::fprintf(stderr, "%s: malformed line of length %zu\n", who, len);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > MAX_JOURNAL_RECORD) size = MAX_JOURNAL_RECORD;
  const std::span<const uint8_t> record(data, size);

  // A row full of leftovers from an earlier line: nothing of it may show.
  FileRow row;
  row.fill('#');
  const std::size_t hexLen = Dimpacc(row, record);
  checkLine(row, hexLen, "Dimpacc");
  if (hexLen != 2 * size + 1) std::abort();
  static constexpr char digits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < size; ++i)
    if (row[2 * i] != digits[data[i] >> 4] || row[2 * i + 1] != digits[data[i] & 15]) std::abort();

  row.fill('#');
  const std::size_t len = ParseB2Mode(row, record);
  checkLine(row, len, "ParseB2Mode");
  if (std::memchr(row.data(), '#', len) && !std::memchr(data, '#', size)) {
    std::fprintf(stderr, "ParseB2Mode: a stale byte of the row reached the line\n");
    std::abort();
  }
  return 0;
}

#include "driver/sales_file.h"

#include <cstring>

namespace {

constexpr std::size_t LINE_MAX_READ = LINE_BUF_LEN - 1;  // 254
constexpr std::size_t SHORT_FORM_MIN = 29;
constexpr std::size_t SHORT_FORM_MAX = 33;

}  // namespace

SalesLine readSalesLine(FILE* in, LineBuffer& line) {
  line.fill('\0');
  SalesLine r;
  int c = 0;
  while (r.len < LINE_MAX_READ && (c = std::getc(in)) != EOF) {
    line[r.len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (r.len == LINE_MAX_READ && line[r.len - 1] != '\n') {
    // Drop the rest of an over-long line up to its line end; the line end itself
    // (LF, or CR LF) is no content.
    while ((c = std::getc(in)) != EOF && c != '\n') {
      if (c != '\r') r.truncated = true;
    }
  }
  if (std::ferror(in)) {
    r.result = LineRead::Error;
  } else {
    r.result = r.len > 0 ? LineRead::Line : LineRead::End;
  }
  return r;
}

std::size_t shortFormCut(const LineBuffer& line) {
  // Codes whose short form is a 27-character text keep it in place.
  static constexpr const char* longText[] = {"71", "08", "04", "81", "83"};
  for (const char* code : longText)
    if (line[0] == code[0] && line[1] == code[1]) return 29;
  return 18;
}

std::size_t widenShortForm(LineBuffer& line, std::size_t len) {
  if (len < SHORT_FORM_MIN || len > SHORT_FORM_MAX) return len;
  const std::size_t p = shortFormCut(line);
  std::memmove(line.data() + p + SHORT_FORM_PAD, line.data() + p, len - p);
  std::memset(line.data() + p, ' ', SHORT_FORM_PAD);
  return len + SHORT_FORM_PAD;
}

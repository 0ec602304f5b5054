// The host's side of a run: the line-settings text of the command line, the sales
// file read line by line with over-long lines cut, the short form widened, the last
// command kept for the dump log, and the fiscal report's name made from the sales
// file's name; and `cassard --check` over the same file, which must write exactly one
// line per finding it counts.
//
// Input: the line-settings text up to the first NUL byte, then the sales file.

#include <termio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/check.h"
#include "driver/main.h"
#include "fuzz/fuzz_port.h"
#include "protocol/protocol.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fz::reset();
  const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::size_t speedLen = nul ? static_cast<std::size_t>(nul - data) : size;
  const std::string speed(reinterpret_cast<const char*>(data), speedLen);

  termio tty{};
  std::memset(&tty, 0xff, sizeof tty);  // whatever the port had before
  ConfigureTermio(tty, speed.c_str());
  // Raw, non-canonical, reads of 0.1 s: whatever the text says.
  if (tty.c_lflag & (ICANON | ECHO | ISIG)) fail("line left in canonical or echo mode");
  if (tty.c_cc[VMIN] != 0 || tty.c_cc[VTIME] != 1) fail("read timing changed by the text");
  if (!(tty.c_cflag & CREAD) || !(tty.c_cflag & CLOCAL)) fail("receiver off or modem lines on");

  // The same text as a sales-file name.
  char fis[NAME_MAX_LEN + 1];
  std::memset(fis, '#', sizeof fis);
  if (fiscalReportName(speed.c_str(), fis, sizeof fis)) {
    const std::size_t n = std::strlen(fis);
    if (n < 4 || n > NAME_MAX_LEN || std::strcmp(fis + n - 4, ".fis") != 0) fail("bad .fis name");
  }

  if (!nul) return 0;
  std::vector<uint8_t> text(nul + 1, data + size);
  if (text.empty()) return 0;
  FILE* in = fmemopen(text.data(), text.size(), "r");
  if (!in) std::abort();
  std::size_t consumed = 0;
  LineBuffer line;
  for (;;) {
    const SalesLine r = readSalesLine(in, line);
    if (r.result == LineRead::Error) fail("a memory stream cannot fail to read");
    if (r.result == LineRead::End) break;
    if (r.len == 0 || r.len > LINE_BUF_LEN - 1) fail("line length outside 1..254");
    for (std::size_t i = r.len; i < line.size(); ++i)
      if (line[i] != '\0') fail("a byte of an earlier line is left past the end of this one");
    if (std::memcmp(line.data(), text.data() + consumed, r.len) != 0) fail("line not as read");
    consumed += r.len;
    if (r.truncated || (r.len == LINE_BUF_LEN - 1 && line[r.len - 1] != '\n')) {
      // The rest of the line is skipped up to its line feed.
      while (consumed < text.size() && text[consumed] != '\n') ++consumed;
      if (consumed < text.size()) ++consumed;
    }
    const std::size_t wide = widenShortForm(line, r.len);
    if (wide >= line.size()) fail("widened past the line buffer");
    LastCommand(line.data());
    if (std::strlen(LastCmd) >= LAST_CMD_LEN) fail("last command not terminated");
  }
  if (consumed != text.size()) fail("bytes of the file neither read nor skipped");
  std::fclose(in);

  in = fmemopen(text.data(), text.size(), "r");
  char* report = nullptr;
  std::size_t reportLen = 0;
  FILE* out = open_memstream(&report, &reportLen);
  if (!in || !out) std::abort();
  const long findings = checkSalesFile(in, "f", out);
  std::fclose(in);
  std::fclose(out);
  long lines = 0;
  for (std::size_t i = 0; i < reportLen; ++i) lines += report[i] == '\n';
  if (findings < 0 || lines != findings) fail("--check: findings and lines differ");
  if (reportLen > 0 && std::strncmp(report, "f:", 2) != 0) fail("--check: a line without its file");
  std::free(report);
  return 0;
}

#include "service/lines_check.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>

#include "driver/check.h"

namespace cassardd {

namespace {

struct Closer {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

std::optional<LinesFinding> checkSalesLines(const std::vector<std::string>& lines) {
  // The sales file the worker writes for the run: each line and its line end.
  std::string file;
  for (const std::string& l : lines) file += l + '\n';
  if (file.empty()) return std::nullopt;
  char* report = nullptr;
  std::size_t reportLen = 0;
  long findings = 0;
  {
    std::unique_ptr<FILE, Closer> in(fmemopen(file.data(), file.size(), "r"));
    std::unique_ptr<FILE, Closer> out(open_memstream(&report, &reportLen));
    if (!in || !out) return LinesFinding{"lines", "the lines could not be checked"};
    findings = checkSalesFile(in.get(), "lines", out.get());
  }  // the report is complete once its stream is closed
  const std::string text(report ? report : "", reportLen);
  std::free(report);
  if (findings == 0) return std::nullopt;
  // "lines:LINE:COLUMN: message", one a finding, the file's order.
  static const std::regex first(R"(^lines:(\d+):(\d+): ([^\n]*))");
  std::smatch m;
  if (findings < 0 || !std::regex_search(text, m, first))
    return LinesFinding{"lines", "the lines could not be checked"};
  const long line = std::stol(m[1].str());
  std::string message = "line " + m[1].str() + ", column " + m[2].str() + ": " + m[3].str();
  if (findings > 1)
    message += " (" + std::to_string(findings - 1) + " more finding" + (findings > 2 ? "s" : "") +
               " in the lines)";
  return LinesFinding{"lines[" + std::to_string(line - 1) + "]", message};
}

}  // namespace cassardd

// Raw sales lines checked as `cassard --check` checks a sales file: the driver's own
// checker, linked in, reads the very bytes the run will read.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cassardd {

// The first line the driver would not take as written (refused, ignored, cut, or sent as
// other bytes than it says): the field it is (`lines[i]`) and the finding, naming the
// column; empty when every line is clean.
struct LinesFinding {
  std::string field;
  std::string message;
};
std::optional<LinesFinding> checkSalesLines(const std::vector<std::string>& lines);

}  // namespace cassardd

// Raw sales lines checked as `cassard --check` checks a sales file: the driver's own
// checker, linked in, reads the very bytes the run will read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/receipt.h"

namespace cassardd {

// The first line the driver would not take as written (refused, ignored, cut, or sent as
// other bytes than it says), as a violation of `lines[i]` naming the column and the finding;
// empty when every line is clean.
std::optional<Violation> checkSalesLines(const std::vector<std::string>& lines);

}  // namespace cassardd

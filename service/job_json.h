// The job's JSON views: what the API answers and the events carry (pure: no I/O).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "service/job.h"

namespace cassardd {

// JSON as text. A byte that is not UTF-8 (texts from the register are converted from
// Latin-1 on the way in, so none should reach here) becomes U+FFFD instead of failing
// the answer.
std::string jsonText(const nlohmann::json& j);

// A job in a list and in its events; the whole job, with its request, lines, console,
// files and readings; a pruned job's key and outcome.
nlohmann::json jobSummaryJson(const Job& j);
nlohmann::json jobJson(const Job& j);
nlohmann::json prunedJobJson(const PrunedJob& p);

}  // namespace cassardd

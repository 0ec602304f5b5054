// Times as the API writes them: RFC 3339 in UTC with milliseconds, 2026-12-07T12:00:00.123Z.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cassardd {

// Milliseconds since the epoch of an RFC 3339 date-time (a 'T', seconds, an optional
// fraction, then 'Z' or an offset +hh:mm / -hh:mm); empty when it is not one.
std::optional<int64_t> parseRfc3339(std::string_view text);

// `ms` since the epoch as RFC 3339 in UTC with milliseconds.
std::string utcText(int64_t ms);

// Now, in milliseconds since the epoch.
int64_t nowMs();

}  // namespace cassardd

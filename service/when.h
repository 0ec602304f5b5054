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

// Now as RFC 3339 in UTC, with milliseconds: 2026-12-07T12:00:00.123Z. The store keeps
// every time in this form, so that its times sort as texts.
std::string utcNow();

// A bound of a search on times as the store keeps them: a date (2026-12-07) is the start
// of that UTC day, or of the next day for an upper bound, so that to=2026-12-07 takes in
// the whole 7th; a date-time (RFC 3339, any offset) is that instant in UTC, or the next
// millisecond for an upper bound, which includes it. Empty when the text is neither.
std::optional<std::string> searchBound(std::string_view text, bool upper);

}  // namespace cassardd

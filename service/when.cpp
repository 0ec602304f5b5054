#include "service/when.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace cassardd {

namespace {

// Reads exactly `n` digits at `pos`.
bool digits(std::string_view s, std::size_t& pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += n;
  return true;
}

bool expect(std::string_view s, std::size_t& pos, char a, char b = 0) {
  if (pos >= s.size() || (s[pos] != a && (b == 0 || s[pos] != b))) return false;
  ++pos;
  return true;
}

int daysIn(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::optional<int64_t> parseRfc3339(std::string_view s) {
  std::size_t p = 0;
  int y, mo, d, h, mi, sec;
  if (!digits(s, p, 4, y) || !expect(s, p, '-') || !digits(s, p, 2, mo) || !expect(s, p, '-') ||
      !digits(s, p, 2, d) || !expect(s, p, 'T', 't') || !digits(s, p, 2, h) || !expect(s, p, ':') ||
      !digits(s, p, 2, mi) || !expect(s, p, ':') || !digits(s, p, 2, sec))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo) || h > 23 || mi > 59 || sec > 60)
    return std::nullopt;
  int ms = 0;
  if (p < s.size() && s[p] == '.') {
    ++p;
    std::size_t n = 0;
    for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; ++p, ++n)
      if (n < 3) ms = ms * 10 + (s[p] - '0');
    if (n == 0) return std::nullopt;
    for (; n < 3; ++n) ms *= 10;
  }
  int offset = 0;  // minutes east of UTC
  if (expect(s, p, 'Z', 'z')) {
  } else if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
    const int sign = s[p++] == '-' ? -1 : 1;
    int oh, om;
    if (!digits(s, p, 2, oh) || !expect(s, p, ':') || !digits(s, p, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offset = sign * (oh * 60 + om);
  } else {
    return std::nullopt;
  }
  if (p != s.size()) return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec == 60 ? 59 : sec;  // a leap second is its minute's last
  const int64_t t = static_cast<int64_t>(timegm(&tm)) - static_cast<int64_t>(offset) * 60;
  return t * 1000 + ms;
}

std::string utcText(int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms - int64_t{t} * 1000));
  return buf;
}

std::string utcNow() {
  return utcText(nowMs());
}

std::optional<std::string> searchBound(std::string_view text, bool upper) {
  const bool isDate = text.size() == 10;
  const auto ms = parseRfc3339(isDate ? std::string(text) + "T00:00:00Z" : std::string(text));
  if (!ms) return std::nullopt;
  if (!upper) return utcText(*ms);
  return utcText(*ms + (isDate ? int64_t{86400} * 1000 : 1));
}

int64_t nowMs() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

}  // namespace cassardd

#include "platform/foundation/ISO8601.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>

namespace foundation {
namespace {

// Division that rounds toward negative infinity, so pre-1970 instants keep a
// non-negative millisecond part.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

std::string iso8601String(Date date) {
  const double seconds = std::isfinite(date.timeIntervalSince1970) ? date.timeIntervalSince1970 : 0.0;
  const auto micros = static_cast<std::int64_t>(std::llround(seconds * 1e6));
  const std::int64_t millis = floorDiv(micros, 1000);
  const std::int64_t wholeSeconds = floorDiv(millis, 1000);
  const int fraction = static_cast<int>(millis - wholeSeconds * 1000);

  // Callers such as the event log stamp many dates within one second; the text up
  // to the fraction is kept per thread and reused while the second is the same.
  thread_local std::int64_t cachedSecond = std::numeric_limits<std::int64_t>::min();
  thread_local char cachedPrefix[40];
  thread_local int cachedLength = 0;
  if (wholeSeconds != cachedSecond || cachedLength <= 0) {
    const auto time = static_cast<std::time_t>(wholeSeconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    cachedLength =
        std::snprintf(cachedPrefix, sizeof cachedPrefix, "%04d-%02d-%02dT%02d:%02d:%02d.", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    cachedSecond = wholeSeconds;
  }
  std::string text(cachedPrefix, static_cast<std::size_t>(std::max(cachedLength, 0)));
  text.push_back(static_cast<char>('0' + fraction / 100));
  text.push_back(static_cast<char>('0' + fraction / 10 % 10));
  text.push_back(static_cast<char>('0' + fraction % 10));
  text.push_back('Z');
  return text;
}

}  // namespace foundation

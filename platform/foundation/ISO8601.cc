#include "platform/foundation/ISO8601.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

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

  const auto time = static_cast<std::time_t>(wholeSeconds);
  std::tm parts{};
  ::gmtime_r(&time, &parts);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, fraction);
  return text;
}

}  // namespace foundation

// ISO 8601 text of dates: UTC, "Z", milliseconds cut toward the past.
#include <gtest/gtest.h>

#include "platform/foundation/ISO8601.h"

namespace {

TEST(ISO8601, WritesUtcWithMilliseconds) {
  struct Case {
    double seconds;
    const char* expected;
  };
  const Case kCases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1769850307.042, "2026-01-31T09:05:07.042Z"},  // .042 is not exact in binary
      {1709251199.5, "2024-02-29T23:59:59.500Z"},    // leap day
      {951868800, "2000-03-01T00:00:00.000Z"},
      {0.9999, "1970-01-01T00:00:00.999Z"},     // cut, not rounded up
      {59.9996, "1970-01-01T00:00:59.999Z"},    // no carry into the next minute
      {59.25, "1970-01-01T00:00:59.250Z"},      // same second again
      {0.9999996, "1970-01-01T00:00:01.000Z"},  // within a microsecond of the second
      {-0.001, "1969-12-31T23:59:59.999Z"},
      {-1.5, "1969-12-31T23:59:58.500Z"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(foundation::iso8601String(foundation::Date{c.seconds}), c.expected) << c.seconds;
  }
}

}  // namespace

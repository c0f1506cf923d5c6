// foundation::Date stands in for NSDate: a point in time as seconds since
// 1970-01-01 00:00:00 UTC, in double precision.
#pragma once

namespace foundation {

struct Date {
  double timeIntervalSince1970 = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

}  // namespace foundation

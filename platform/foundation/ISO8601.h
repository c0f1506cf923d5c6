// Dates as text in the form NSISO8601DateFormatter writes with the internet
// date-time and fractional-seconds options, in UTC: "2026-01-31T09:05:07.042Z".
#pragma once

#include <string>

#include "platform/foundation/Date.h"

namespace foundation {

// Millisecond precision: the date is first rounded to the nearest microsecond (so
// that a value such as 1.042 stored as 1.04199999 still reads .042), then the
// fraction is cut to whole milliseconds toward the past. Dates before 1970 work.
std::string iso8601String(Date date);

}  // namespace foundation

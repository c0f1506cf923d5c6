// The wall clock as foundation::Date, the stand-in for NSDate() and
// CFAbsoluteTimeGetCurrent(). It can jump backwards when the system time is set.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/foundation/Date.h"

namespace foundation {

inline Date currentDate() {
  using namespace std::chrono;
  return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

// The same, in whole milliseconds since 1970: what status files and progress
// records carry, for readers in other processes.
inline std::int64_t currentMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace foundation

// The wall clock as foundation::Date, the stand-in for NSDate() and
// CFAbsoluteTimeGetCurrent(). It can jump backwards when the system time is set.
#pragma once

#include <chrono>

#include "platform/foundation/Date.h"

namespace foundation {

inline Date currentDate() {
  using namespace std::chrono;
  return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

}  // namespace foundation

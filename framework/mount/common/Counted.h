// Counts and sizes as users read them: "1 upload", "2 uploads", "3.4 MiB".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace corvane::framework::mount {

inline std::string counted(std::uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Bytes in binary units, one decimal past the first.
inline std::string humanBytes(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) bytes /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace corvane::framework::mount

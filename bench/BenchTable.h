// The summary rows every benchmark prints last, which scripts/bench gathers into
// one table: figure, value, baseline, ratio, target, met. A row is one line,
// "row" then the six columns, tab-separated, so shell benchmarks can print the
// same with printf.
#pragma once

#include <cstdio>
#include <string>

namespace corvane::bench {

// `value` and `baseline` carry their units ("5.81 ms"); `ratio` is value over
// baseline as the target reads it.
inline void tableRow(const std::string& figure, const std::string& value, const std::string& baseline, double ratio,
                     const std::string& target, bool met) {
  std::printf("row\t%s\t%s\t%s\t%.2f\t%s\t%s\n", figure.c_str(), value.c_str(), baseline.c_str(), ratio, target.c_str(),
              met ? "yes" : "NO");
  std::fflush(stdout);
}

inline std::string figure(double value, const char* unit, int decimals = 2) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f %s", decimals, value, unit);
  return buf;
}

}  // namespace corvane::bench

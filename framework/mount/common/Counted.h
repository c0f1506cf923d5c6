// "1 upload", "2 uploads": a count with its noun, for what users read.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::framework::mount {

inline std::string counted(std::uint64_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace corvane::framework::mount

// Read-only access to a shared user-defaults suite, kept by the host as the JSON
// object <App Group container>/Preferences/<suite>.json. Only the legacy share-epoch
// read uses it, so there is no writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace foundation {

class UserDefaults {
 public:
  explicit UserDefaults(std::string suiteName) : suiteName_(std::move(suiteName)) {}

  // The number under `key` as an unsigned 64-bit value (NSNumber's
  // unsignedLongLongValue: negatives wrap, fractions truncate). Absent when the
  // container, file or key is missing, the file is not a JSON object, or the value
  // is not a number.
  std::optional<std::uint64_t> unsignedLongLongForKey(const std::string& key) const;

 private:
  std::string suiteName_;
};

}  // namespace foundation

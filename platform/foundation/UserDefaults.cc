#include "platform/foundation/UserDefaults.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/foundation/FileManager.h"

namespace foundation {

std::optional<std::uint64_t> UserDefaults::unsignedLongLongForKey(const std::string& key) const {
  auto container = FileManager::containerURL(suiteName_);
  if (!container) return std::nullopt;
  auto bytes = FileManager::contentsOf(*container / "Preferences" / (suiteName_ + ".json"));
  if (!bytes) return std::nullopt;
  nlohmann::json document = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
  if (!document.is_object()) return std::nullopt;
  auto it = document.find(key);
  if (it == document.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (it->is_number_integer()) return static_cast<std::uint64_t>(it->get<std::int64_t>());
  if (it->is_number_float()) {
    double value = it->get<double>();
    // Only what an int64 or a uint64 holds converts: -2^63 <= value < 2^64.
    if (!std::isfinite(value) || value < -0x1p63 || value >= 0x1p64) return std::nullopt;
    return value < 0 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(value)) : static_cast<std::uint64_t>(value);
  }
  return std::nullopt;
}

}  // namespace foundation

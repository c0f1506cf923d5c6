// The built-in text catalog: Chinese interface texts (the keys) to English.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane::L10nCatalog {

inline constexpr const char* defaultAppName = "砾帆快传";

// "en" -> "Driftpin", "zh-Hans" -> "砾帆快传".
const std::map<std::string, std::string, std::less<>>& appNames();

// The embedded catalog document (a JSON object of text -> text).
std::string_view catalogText();

// Parses `document`; anything but an object of text -> text members gives an
// empty map, so a damaged catalog degrades English output to the Chinese keys.
std::unordered_map<std::string, std::string> load(std::string_view document = catalogText());

}  // namespace corvane::L10nCatalog

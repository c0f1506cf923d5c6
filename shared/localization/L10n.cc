#include "shared/localization/L10n.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "platform/foundation/Locale.h"
#include "shared/localization/Grapheme.h"
#include "shared/localization/L10nCatalog.h"

namespace corvane::L10n {
namespace {

struct State {
  std::mutex lock;
  std::optional<std::string> languageOverride;
};

State& state() {
  static State* s = new State;
  return *s;
}

const std::unordered_map<std::string, std::string>& englishByKey() {
  static const auto* map = new std::unordered_map<std::string, std::string>(L10nCatalog::load());
  return *map;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::string resolve(const std::vector<std::string>& preferredLanguages) {
  for (std::string entry : preferredLanguages) {
    std::replace(entry.begin(), entry.end(), '_', '-');
    std::transform(entry.begin(), entry.end(), entry.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    if (entry == "zh" || entry.starts_with("zh-")) return "zh-Hans";
    if (entry == "en" || entry.starts_with("en-")) return "en";
  }
  return "zh-Hans";
}

std::string language() {
  {
    std::lock_guard guard(state().lock);
    if (state().languageOverride) return *state().languageOverride;
  }
  return resolve(foundation::Locale::preferredLanguages());
}

std::string appName() {
  const auto& names = L10nCatalog::appNames();
  auto it = names.find(language());
  return it != names.end() ? it->second : L10nCatalog::defaultAppName;
}

std::string appMonogram() { return firstGraphemeCluster(appName()); }

void resetForTesting(std::optional<std::string> language) {
  std::lock_guard guard(state().lock);
  state().languageOverride = std::move(language);
}

std::string lookup(std::string_view key) {
  if (key == "appName") return appName();
  std::string base(key);
  if (language() == "en") {
    const auto& english = englishByKey();
    if (auto it = english.find(base); it != english.end()) base = it->second;
  }
  replaceAll(base, "{appName}", appName());
  return base;
}

std::string format(std::string templ, const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    replaceAll(templ, "{" + std::to_string(i) + "}", arguments[i]);
  }
  return templ;
}

namespace {

// The platform's description of a floating-point number: the fewest digits that
// read back as the same value of that type, written out in full ("100000.0",
// "0.0001", "2.0") unless the value is below 10^-4 or beyond the point where
// whole numbers stop being exact (2^54 for a double, 2^24 for a float); those
// are exponential with at least two exponent digits ("1e-05",
// "1.8014398509481986e+16").
template <typename Float>
std::string describe(Float value, Float exactWholeLimit) {
  char buffer[400];
  auto write = [&](std::chars_format form) {
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, form);
    return std::string(buffer, ec == std::errc() ? end : buffer);
  };
  std::string scientific = write(std::chars_format::scientific);
  if (!std::isfinite(value)) return scientific;
  const std::size_t e = scientific.find('e');
  const int exponent = e == std::string::npos ? 0 : std::atoi(scientific.c_str() + e + 1);
  if ((value != 0 && exponent < -4) || std::fabs(value) > exactWholeLimit) return scientific;
  std::string text = write(std::chars_format::fixed);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string stringify(double value) { return describe(value, 0x1p54); }

std::string stringify(float value) { return describe(value, 0x1p24f); }

std::string stringify(char32_t value) {
  std::uint32_t c = value;
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  std::string text;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (c >> 18));
    text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
  return text;
}

}  // namespace corvane::L10n

// Localized texts, keyed by their Simplified Chinese wording. The language is
// "zh-Hans" or "en", chosen from the user's preferred languages (Chinese first);
// "{appName}" becomes the application's name and "{0}", "{1}", … the arguments.
//
// Thread-safe: the catalog is parsed once on first use; the override is locked.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace corvane::L10n {

// The language for a preferred-language list: the first entry that is Chinese
// ("zh", "zh-…", any case, "_" or "-") or English decides; otherwise "zh-Hans".
std::string resolve(const std::vector<std::string>& preferredLanguages);

std::string language();
std::string appName();
// The first user-perceived character of appName().
std::string appMonogram();
// Sets (or, with absent, clears) a language that wins over the preferred languages.
void resetForTesting(std::optional<std::string> language);

// The catalog text for `key` in the current language, "{appName}" filled in.
std::string lookup(std::string_view key);
// Replaces "{i}" by arguments[i], one argument after the other on the running text.
std::string format(std::string templ, const std::vector<std::string>& arguments);

// A value's text as the catalog inserts it: text unchanged, anything else by its
// usual description (42, 1.5, 2.0, true). A float is described with its own
// precision (0.1f is "0.1"), and a character is itself, not its code.
inline std::string stringify(std::string_view text) { return std::string(text); }
inline std::string stringify(const char* text) { return std::string(text); }
inline std::string stringify(const std::string& text) { return text; }
inline std::string stringify(bool value) { return value ? "true" : "false"; }
inline std::string stringify(char value) { return std::string(1, value); }
// UTF-8; a value that is no Unicode scalar becomes U+FFFD.
std::string stringify(char32_t value);
std::string stringify(double value);
std::string stringify(float value);
// Other integers as decimal numbers; char and char32_t take the exact overloads above.
template <std::integral T>
requires(!std::same_as<T, bool>) std::string stringify(T value) { return std::to_string(value); }

template <typename... Args>
std::string t(std::string_view key, const Args&... arguments) {
  return format(lookup(key), std::vector<std::string>{stringify(arguments)...});
}

}  // namespace corvane::L10n

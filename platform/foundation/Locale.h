// The user's preferred languages (NSLocale preferredLanguages), read from the
// POSIX locale environment.
#pragma once

#include <string>
#include <vector>

namespace foundation::Locale {

// The entries of LANGUAGE (colon-separated), then LC_ALL, LC_MESSAGES and LANG,
// each without codeset or modifier ("en_US.UTF-8@euro" gives "en_US"). "C",
// "POSIX" and empty entries are skipped. Evaluated anew on every call.
std::vector<std::string> preferredLanguages();

}  // namespace foundation::Locale

#include "platform/foundation/Locale.h"

#include <cstdlib>

namespace foundation::Locale {
namespace {

void append(std::vector<std::string>& out, std::string entry) {
  if (auto cut = entry.find_first_of(".@"); cut != std::string::npos) entry.erase(cut);
  if (entry.empty() || entry == "C" || entry == "POSIX") return;
  out.push_back(std::move(entry));
}

}  // namespace

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string text(list);
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find(':', start);
      if (end == std::string::npos) end = text.size();
      append(languages, text.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(name)) append(languages, value);
  }
  return languages;
}

}  // namespace foundation::Locale

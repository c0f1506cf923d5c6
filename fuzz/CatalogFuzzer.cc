// libFuzzer target for the localization catalog and the templates it holds:
// any document loads (or loads as empty), any template formats.
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/localization/L10n.h"
#include "shared/localization/L10nCatalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [key, value] : corvane::L10nCatalog::load(text)) {
    (void)corvane::L10n::format(value, {key, "{0}"});
  }
  (void)corvane::L10n::format(std::string(text), {"a", "{1}", ""});
  return 0;
}

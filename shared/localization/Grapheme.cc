#include "shared/localization/Grapheme.h"

#include <cstdint>

namespace corvane {
namespace {

// Decodes one code point at `at`, advancing it; invalid bytes count as one
// code point each, so malformed text still makes progress.
char32_t next(std::string_view text, std::size_t& at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(at);
  int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size()) {
    ++at;
    return 0xFFFD;
  }
  char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  at += length;
  return cp;
}

bool extends(char32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) ||
         (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0xFE00 && cp <= 0xFE0F) ||
         (cp >= 0xE0100 && cp <= 0xE01EF) || (cp >= 0x1F3FB && cp <= 0x1F3FF) || (cp >= 0xE0020 && cp <= 0xE007F) ||
         cp == 0x200C;
}

bool isRegionalIndicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

}  // namespace

std::string firstGraphemeCluster(std::string_view text) {
  if (text.empty()) return "";
  std::size_t at = 0;
  char32_t first = next(text, at);
  if (first == '\r' && at < text.size() && text[at] == '\n') return std::string(text.substr(0, at + 1));
  if (isRegionalIndicator(first) && at < text.size()) {
    std::size_t probe = at;
    if (isRegionalIndicator(next(text, probe))) at = probe;
  }
  while (at < text.size()) {
    std::size_t probe = at;
    char32_t cp = next(text, probe);
    if (extends(cp)) {
      at = probe;
    } else if (cp == 0x200D && probe < text.size()) {
      next(text, probe);  // a zero-width joiner glues the following code point on
      at = probe;
    } else {
      break;
    }
  }
  return std::string(text.substr(0, at));
}

}  // namespace corvane

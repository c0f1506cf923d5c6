#include "platform/foundation/Utf8.h"

#include <cstdint>
#include <cstring>

namespace foundation {
namespace {

// The length of the well-formed non-ASCII sequence that starts at `p`, or 0.
std::size_t sequenceLength(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = *p;
  std::size_t n;
  std::uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 1;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 2;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 3;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) <= n) return 0;
  for (std::size_t i = 1; i <= n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n + 1;
}

}  // namespace

bool isValidNonAsciiUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // Runs of ASCII, which is nearly every text on the link, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const std::size_t n = sequenceLength(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

std::string printableUtf8(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const std::size_t n = *p < 0x80 ? 1 : sequenceLength(p, end);
    if (n == 0) {
      out += "\\x";
      out += kHex[*p >> 4];
      out += kHex[*p & 0xF];
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    }
  }
  return out;
}

}  // namespace foundation

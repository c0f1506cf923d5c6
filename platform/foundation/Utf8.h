// Well-formed UTF-8, the one test every boundary uses: a name from the kernel,
// a text for the link, a value for a JSON record. Linux names are bytes; only
// what passes here may reach a JSON encoder or the wire.
#pragma once

#include <string>
#include <string_view>

namespace foundation {

// True when `s` is well-formed UTF-8: no stray continuation bytes, no overlong
// forms, no UTF-16 surrogates, nothing beyond U+10FFFF.
bool isValidNonAsciiUtf8(std::string_view s);

// The same, with all-ASCII text (nearly every name and key) settled inline.
inline bool isValidUtf8(std::string_view s) {
  unsigned char bits = 0;
  for (char c : s) bits |= static_cast<unsigned char>(c);
  return bits < 0x80 || isValidNonAsciiUtf8(s);
}

// The longest start of `s` of at most `maxBytes` bytes that does not split a
// UTF-8 sequence: how a name made from another name stays within NAME_MAX.
inline std::string_view utf8Prefix(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  std::size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

// `s` with every byte that is not part of a well-formed sequence written as
// \xNN: how a log record or a message names a file whose name is not UTF-8.
std::string printableUtf8(std::string_view s);

}  // namespace foundation

// Base64 text forms of byte strings (RFC 4648).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// Standard alphabet with "=" padding.
std::string base64Encode(std::string_view bytes);
// Strict decode of the standard alphabet with padding; absent on any other character
// or a length that is not a multiple of four.
std::optional<std::string> base64Decode(std::string_view text);
// URL-safe alphabet ("-" and "_") without padding (section 5). Its output never
// holds "/" or ".", so it is safe as a single file-name component.
std::string base64UrlEncode(std::string_view bytes);

}  // namespace foundation

#include "platform/foundation/Base64.h"

#include <array>
#include <cstdint>

namespace foundation {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) | std::uint8_t(bytes[i + 2]);
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    out.push_back(alphabet[(n >> 6) & 63]);
    out.push_back(alphabet[n & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint8_t(bytes[i]) << 16;
    if (rest == 2) n |= std::uint8_t(bytes[i + 1]) << 8;
    out.push_back(alphabet[(n >> 18) & 63]);
    out.push_back(alphabet[(n >> 12) & 63]);
    if (rest == 2) out.push_back(alphabet[(n >> 6) & 63]);
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

}  // namespace

std::string base64Encode(std::string_view bytes) { return encode(bytes, kStandard, true); }

std::string base64UrlEncode(std::string_view bytes) { return encode(bytes, kUrlSafe, false); }

std::optional<std::string> base64Decode(std::string_view text) {
  static const std::array<int, 256> kValues = [] {
    std::array<int, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kStandard[i])] = i;
    return values;
  }();
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        v[j] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      v[j] = kValues[static_cast<unsigned char>(c)];
      if (v[j] < 0) return std::nullopt;
    }
    std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<char>(n >> 16));
    if (padding < 2) out.push_back(static_cast<char>((n >> 8) & 0xff));
    if (padding < 1) out.push_back(static_cast<char>(n & 0xff));
  }
  return out;
}

}  // namespace foundation

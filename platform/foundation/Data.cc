#include "platform/foundation/Data.h"

#include <cassert>

namespace foundation {

void storeUInt64LE(Data& data, std::size_t offset, std::uint64_t value) {
  assert(offset + 8 <= data.size());
  for (int i = 0; i < 8; ++i) data[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t loadUInt64LE(const Data& data, std::size_t offset) {
  assert(offset + 8 <= data.size());
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | data[offset + i];
  return value;
}

std::optional<Data> dataFromHex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  Data out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return out;
}

std::string hexString(const Data& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace foundation

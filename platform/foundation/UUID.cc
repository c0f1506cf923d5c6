#include "platform/foundation/UUID.h"

#include "platform/foundation/SecureRandom.h"

namespace foundation {
namespace {

std::string format(const std::array<std::uint8_t, 16>& bytes, const char* digits) {
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0f]);
  }
  return text;
}

}  // namespace

UUID::UUID() {
  for (std::size_t half = 0; half < 2; ++half) {
    std::uint64_t value = randomUInt64();
    for (std::size_t i = 0; i < 8; ++i) {
      bytes_[half * 8 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0f) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3f) | 0x80);  // RFC 4122 variant
}

std::string UUID::uuidString() const { return format(bytes_, "0123456789ABCDEF"); }

std::string UUID::lowercaseString() const { return format(bytes_, "0123456789abcdef"); }

}  // namespace foundation

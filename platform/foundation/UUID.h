// foundation::UUID stands in for NSUUID: a random version-4 identifier drawn from
// the kernel's random source, written in the canonical 8-4-4-4-12 form.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace foundation {

class UUID {
 public:
  // A new random UUID (version 4, RFC 4122 variant).
  UUID();

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  // Upper-case hexadecimal, as NSUUID.uuidString writes it.
  std::string uuidString() const;
  // The same text in lower case, the form the extension writes to disk and logs.
  std::string lowercaseString() const;

  friend bool operator==(const UUID&, const UUID&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace foundation

// Keyed secure coding, the class side: Codable is the base of every class that
// travels over the link by its fields (the transfer objects), and ClassInfo is
// what a receiver knows about a class before it builds one — its plain name and
// how to build it from an archive. The built-in classes (text, number, file URL,
// array, error) have no factory; the decoder builds them itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace xpc {

class Coder;
class Codable;

enum class BuiltinClass : std::uint8_t { none, string, number, url, array, error };

struct ClassInfo {
  // The name recorded in archives, without any module prefix.
  std::string_view name;
  BuiltinClass builtin = BuiltinClass::none;
  // initWithCoder: for keyed classes; null for the built-in ones.
  std::shared_ptr<const Codable> (*make)(Coder&) = nullptr;
};

// Keyed classes derive from Codable, take a `Coder&` in a constructor that never
// fails (missing or refused values give defaults), and expose a static
// `codableClass()` returning their ClassInfo.
class Codable {
 public:
  virtual ~Codable() = default;
  virtual const ClassInfo& classInfo() const = 0;
  // encodeWithCoder:
  virtual void encode(Coder& coder) const = 0;
};

// The factory for ClassInfo::make of a Codable class T.
template <typename T>
std::shared_ptr<const Codable> makeCodable(Coder& coder) {
  return std::make_shared<const T>(coder);
}

namespace classes {
inline constexpr ClassInfo NSString{"NSString", BuiltinClass::string, nullptr};
inline constexpr ClassInfo NSNumber{"NSNumber", BuiltinClass::number, nullptr};
inline constexpr ClassInfo NSURL{"NSURL", BuiltinClass::url, nullptr};
inline constexpr ClassInfo NSArray{"NSArray", BuiltinClass::array, nullptr};
inline constexpr ClassInfo NSError{"NSError", BuiltinClass::error, nullptr};
}  // namespace classes

}  // namespace xpc

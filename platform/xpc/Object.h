// xpc::Object: one decoded (or to-be-encoded) object of a message — nil, text,
// number, file URL, array, error or a keyed Codable. Immutable once built; the
// shared parts make copies cheap, so it may be handed between threads freely.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Codable.h"

namespace xpc {

// A file-system URL, held as its absolute path.
struct FileURL {
  std::string path;
  friend bool operator==(const FileURL&, const FileURL&) = default;
};

// NSNumber: a signed 64-bit value that remembers whether it was made from a boolean.
struct Number {
  std::int64_t value = 0;
  bool isBool = false;
  // unsignedLongLongValue: the two's-complement image of the value.
  std::uint64_t unsignedValue() const { return static_cast<std::uint64_t>(value); }
  friend bool operator==(const Number&, const Number&) = default;
};

class Object {
 public:
  using Array = std::vector<Object>;

  Object() = default;  // nil

  static Object string(std::string text) { return Object(Value(std::in_place_index<1>, std::move(text))); }
  static Object number(std::int64_t value) { return Object(Value(std::in_place_index<2>, Number{value, false})); }
  static Object boolean(bool value) { return Object(Value(std::in_place_index<2>, Number{value ? 1 : 0, true})); }
  static Object url(FileURL url) { return Object(Value(std::in_place_index<3>, std::move(url))); }
  static Object array(Array items) {
    return Object(Value(std::in_place_index<4>, std::make_shared<const Array>(std::move(items))));
  }
  static Object error(foundation::Error error) {
    return Object(Value(std::in_place_index<5>, std::make_shared<const foundation::Error>(std::move(error))));
  }
  // A null pointer gives nil.
  static Object codable(std::shared_ptr<const Codable> object) {
    if (!object) return Object();
    return Object(Value(std::in_place_index<6>, std::move(object)));
  }

  bool isNil() const { return value_.index() == 0; }
  const std::string* asString() const { return std::get_if<1>(&value_); }
  const Number* asNumber() const { return std::get_if<2>(&value_); }
  const FileURL* asURL() const { return std::get_if<3>(&value_); }
  const Array* asArray() const {
    auto* p = std::get_if<4>(&value_);
    return p ? p->get() : nullptr;
  }
  const foundation::Error* asError() const {
    auto* p = std::get_if<5>(&value_);
    return p ? p->get() : nullptr;
  }
  const Codable* asCodable() const {
    auto* p = std::get_if<6>(&value_);
    return p ? p->get() : nullptr;
  }
  // The keyed object as a T, or null when this is anything else.
  template <typename T>
  std::shared_ptr<const T> as() const {
    auto* p = std::get_if<6>(&value_);
    return p ? std::dynamic_pointer_cast<const T>(*p) : nullptr;
  }

  // The class of the value (null for nil).
  const ClassInfo* classInfo() const;

 private:
  using Value = std::variant<std::monostate, std::string, Number, FileURL, std::shared_ptr<const Array>,
                             std::shared_ptr<const foundation::Error>, std::shared_ptr<const Codable>>;
  explicit Object(Value v) : value_(std::move(v)) {}

  Value value_;
};

}  // namespace xpc

// A set of classes that a decoder may build at one place in a message — the
// allow-list of secure coding. A value of any other class is refused before
// anything of it is constructed. A plain value; cheap to copy.
#pragma once

#include <initializer_list>
#include <string_view>
#include <vector>

#include "platform/xpc/Codable.h"

namespace xpc {

class ClassSet {
 public:
  ClassSet() = default;
  ClassSet(std::initializer_list<const ClassInfo*> classes);

  void insert(const ClassInfo& cls);

  bool containsBuiltin(BuiltinClass builtin) const { return (builtinMask_ & bit(builtin)) != 0; }
  // The keyed class of that name in the set, or null.
  const ClassInfo* findKeyed(std::string_view name) const;
  bool contains(const ClassInfo& cls) const;

  // Names of the members, for messages and tests.
  std::vector<std::string_view> names() const;

  friend bool operator==(const ClassSet& a, const ClassSet& b);

 private:
  static unsigned bit(BuiltinClass b) { return 1u << static_cast<unsigned>(b); }
  unsigned builtinMask_ = 0;
  std::vector<const ClassInfo*> keyed_;
};

}  // namespace xpc

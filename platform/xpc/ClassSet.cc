#include "platform/xpc/ClassSet.h"

#include <algorithm>

namespace xpc {

ClassSet::ClassSet(std::initializer_list<const ClassInfo*> classes) {
  for (const ClassInfo* c : classes) insert(*c);
}

void ClassSet::insert(const ClassInfo& cls) {
  if (cls.builtin != BuiltinClass::none) {
    builtinMask_ |= bit(cls.builtin);
  } else if (!findKeyed(cls.name)) {
    keyed_.push_back(&cls);
  }
}

const ClassInfo* ClassSet::findKeyed(std::string_view name) const {
  for (const ClassInfo* c : keyed_) {
    if (c->name == name) return c;
  }
  return nullptr;
}

bool ClassSet::contains(const ClassInfo& cls) const {
  return cls.builtin != BuiltinClass::none ? containsBuiltin(cls.builtin) : findKeyed(cls.name) != nullptr;
}

std::vector<std::string_view> ClassSet::names() const {
  std::vector<std::string_view> out;
  for (const ClassInfo* b :
       {&classes::NSString, &classes::NSNumber, &classes::NSURL, &classes::NSArray, &classes::NSError}) {
    if (containsBuiltin(b->builtin)) out.push_back(b->name);
  }
  for (const ClassInfo* c : keyed_) out.push_back(c->name);
  return out;
}

bool operator==(const ClassSet& a, const ClassSet& b) {
  if (a.builtinMask_ != b.builtinMask_ || a.keyed_.size() != b.keyed_.size()) return false;
  return std::all_of(a.keyed_.begin(), a.keyed_.end(), [&](const ClassInfo* c) { return b.findKeyed(c->name); });
}

}  // namespace xpc

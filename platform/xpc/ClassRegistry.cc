#include "platform/xpc/ClassRegistry.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace xpc::ClassRegistry {
namespace {

struct Table {
  std::mutex mutex;
  std::map<std::string, const ClassInfo*, std::less<>> byName;
  Table() {
    for (const ClassInfo* c :
         {&classes::NSString, &classes::NSNumber, &classes::NSURL, &classes::NSArray, &classes::NSError}) {
      byName.emplace(std::string(c->name), c);
    }
  }
};

Table& table() {
  static Table* t = new Table();  // never destroyed: lookups may run during exit
  return *t;
}

}  // namespace

void add(const ClassInfo& cls) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto [it, inserted] = t.byName.emplace(std::string(cls.name), &cls);
  if (!inserted && it->second != &cls) {
    std::fprintf(stderr, "xpc::ClassRegistry: two classes registered as \"%.*s\"\n", static_cast<int>(cls.name.size()),
                 cls.name.data());
    std::abort();
  }
}

const ClassInfo* find(std::string_view name) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.byName.find(name);
  return it == t.byName.end() ? nullptr : it->second;
}

ClassSet named(const std::vector<std::string_view>& names) {
  ClassSet set;
  for (std::string_view n : names) {
    const ClassInfo* c = find(n);
    if (!c) {
      std::fprintf(stderr, "xpc::ClassRegistry: no class registered as \"%.*s\"\n", static_cast<int>(n.size()),
                   n.data());
      std::abort();
    }
    set.insert(*c);
  }
  return set;
}

}  // namespace xpc::ClassRegistry

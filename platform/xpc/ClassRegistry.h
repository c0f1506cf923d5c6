// The process-wide table of classes by plain name ("VfsFileEntryDto", "NSArray"),
// the stand-in for the runtime's class lookup. Interfaces name their allow-lists
// through it. Thread-safe; registration is idempotent for the same ClassInfo.
#pragma once

#include <string_view>
#include <vector>

#include "platform/xpc/ClassSet.h"
#include "platform/xpc/Codable.h"

namespace xpc::ClassRegistry {

// Registers `cls` (which must outlive the process's use of it, typically a static).
// Two different classes under one name is a programming error and aborts.
void add(const ClassInfo& cls);

// The class registered under `name`, or null. The built-in classes are always there.
const ClassInfo* find(std::string_view name);

// A set of registered classes by name; an unknown name aborts (programming error).
ClassSet named(const std::vector<std::string_view>& names);

}  // namespace xpc::ClassRegistry

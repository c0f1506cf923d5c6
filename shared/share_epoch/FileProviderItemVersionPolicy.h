// Item version tags: SHA-256 over an item's fields and its peer's share epoch, so
// a new epoch changes every tag of that peer at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Data.h"

namespace corvane::FileProviderItemVersionPolicy {

struct Tags {
  foundation::Data content;   // 32 raw bytes
  foundation::Data metadata;  // 32 raw bytes
};

// Content input "c|<epoch>|<identifier>|<modifiedMs>|<size>|<f|d>", metadata input
// "m|<epoch>|<identifier>|<filename>|<modifiedMs>|<size>|<f|d>", each hashed as UTF-8.
Tags make(std::string_view identifier, std::string_view filename, bool isDirectory, std::uint64_t size,
          std::uint64_t modifiedMs, std::uint64_t epoch);

}  // namespace corvane::FileProviderItemVersionPolicy

// Random values from the kernel's random source (getrandom), for share epochs
// and identifiers that must not repeat across processes.
#pragma once

#include <cstdint>

namespace foundation {

// A uniformly random 64-bit value.
std::uint64_t randomUInt64();

}  // namespace foundation

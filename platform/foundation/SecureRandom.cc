#include "platform/foundation/SecureRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace foundation {

std::uint64_t randomUInt64() {
  std::uint64_t value = 0;
  auto* out = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    ssize_t n = getrandom(out + filled, sizeof value - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("corvane: getrandom");
      std::abort();  // no safe fallback: a predictable epoch would collide
    }
    filled += static_cast<std::size_t>(n);
  }
  return value;
}

}  // namespace foundation

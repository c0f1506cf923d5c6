#include "shared/vfs_xpc/FileProviderXpcConnectionState.h"

#include <algorithm>

namespace corvane {

std::uint64_t FileProviderXpcConnectionState::beginConnection() {
  ++generation;  // wraps to 0 after the largest value
  if (generation == 0) generation = 1;
  phase = Phase::connecting;
  return generation;
}

bool FileProviderXpcConnectionState::markProbeSucceeded(std::uint64_t g) {
  if (g != generation || phase != Phase::connecting) return false;
  phase = Phase::ready;
  cooldown = minimumCooldown_;
  return true;
}

bool FileProviderXpcConnectionState::markConnectionFailed(std::uint64_t g) {
  if (g != generation) return false;
  if (phase != Phase::connecting && phase != Phase::ready) return false;
  phase = Phase::coolingDown;
  cooldown = std::min(maximumCooldown_, std::max(minimumCooldown_, cooldown * 2));
  return true;
}

}  // namespace corvane

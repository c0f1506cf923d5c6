// FileProviderXpcConnectionState: which host connection is the current one and what
// phase the link is in. Every connection attempt gets a generation; events that
// carry any other generation, or that do not fit the phase, are refused, and the
// caller then does nothing further for them.
//
// A plain value with no lock: its owner changes it only on its serial host-link
// queue, each read-modify-write within one block.
#pragma once

#include <chrono>
#include <cstdint>

namespace corvane {

struct FileProviderXpcConnectionState {
  enum class Phase { idle, connecting, ready, coolingDown };

  explicit FileProviderXpcConnectionState(double minimumCooldown = 2.0, double maximumCooldown = 60.0)
      : cooldown(minimumCooldown), minimumCooldown_(minimumCooldown), maximumCooldown_(maximumCooldown) {}

  Phase phase = Phase::idle;
  // 0 until the first attempt; attempts are numbered from 1 and 0 is never handed out.
  std::uint64_t generation = 0;
  // Seconds. Recorded only: nothing waits for it, reconnection is the host's move.
  double cooldown;

  double minimumCooldown() const { return minimumCooldown_; }
  double maximumCooldown() const { return maximumCooldown_; }

  bool isReady() const { return phase == Phase::ready; }
  bool canIssueRequests() const { return phase == Phase::connecting || phase == Phase::ready; }

  // Starts an attempt in any phase, superseding the previous one; returns its
  // generation (the one after 2^64-1 is 1). Leaves the cooldown alone.
  std::uint64_t beginConnection();
  // The probe of `generation` succeeded: ready, cooldown back to the minimum.
  // False (and no change) unless that is the current generation and it is connecting.
  [[nodiscard]] bool markProbeSucceeded(std::uint64_t generation);
  // The connection of `generation` failed: cooling down, cooldown doubled within
  // [minimum, maximum]. False (and no change) unless that is the current
  // generation and it is connecting or ready — so each connection fails once.
  [[nodiscard]] bool markConnectionFailed(std::uint64_t generation);
  // Back to idle; generation and cooldown stay, so late events of the last
  // generation are still recognised (and then refused by phase).
  void markIdle() { phase = Phase::idle; }

 private:
  double minimumCooldown_;
  double maximumCooldown_;
};

// How request code gets at the host link: one look, never a wait. A request
// that finds no ready link fails at once and the framework asks again later;
// reconnecting is the host's move, never a request's.
namespace FileProviderXpcAcquisitionPolicy {

inline constexpr std::chrono::seconds synchronousWait{0};

// Calls `ready` exactly once and hands back what it gave, nothing included.
template <typename Ready>
auto acquire(Ready&& ready) -> decltype(ready()) {
  return ready();
}

}  // namespace FileProviderXpcAcquisitionPolicy

}  // namespace corvane

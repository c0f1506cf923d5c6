// HostStateStore keeps one peer's HostState in <state dir>/<peer stem>.state and
// holds an exclusive lock (<peer stem>.lock) for as long as it lives, so only one
// host serves a peer's state at a time. Saves replace the file atomically.
//
// Not thread-safe; the service calls it under its tracker lock.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "host/HostState.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::host {

class HostStateStore {
 public:
  // Creates `dir` (0700) when missing. Fails with -16 "service_unavailable" when
  // another live store holds the peer's lock.
  [[nodiscard]] static foundation::Result<std::unique_ptr<HostStateStore>> open(const std::filesystem::path& dir,
                                                                                std::string_view peerId);

  enum class Outcome { missing, damaged, loaded };
  struct Loaded {
    Outcome outcome = Outcome::missing;
    std::optional<HostState> state;  // set only for Outcome::loaded
  };
  Loaded load() const;

  // Writes `state` atomically; false when it could not be written (the old file,
  // if any, is then left as it was).
  bool save(const HostState& state);

  // Removes the saved state, so the next start expires every older token. The
  // fallback when a save that a promise depends on cannot be written.
  void discard();

  const std::filesystem::path& file() const { return file_; }

 private:
  HostStateStore(std::filesystem::path file, foundation::UniqueFd lock);

  const std::filesystem::path file_;
  const foundation::UniqueFd lock_;
};

}  // namespace corvane::host

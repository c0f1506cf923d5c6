// ContentCache is the host's folder of fetched copies for one peer. A fetch hands
// the extension a path in here, never one inside the share, so the file it reads
// cannot change under it. Copies are removed once they are older than the
// cache's maximum age: at open, and then at most once a minute while fetching.
// The extension is expected to take its own copy (or finish reading) well within
// that age; an open reader is unaffected by the removal anyway.
//
// Thread-safe: store() may run on many threads at once.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/foundation/Result.h"

namespace corvane::host {

class ContentCache {
 public:
  // Creates `dir` (0700) when missing and removes copies older than `maxAge`.
  [[nodiscard]] static foundation::Result<std::unique_ptr<ContentCache>> open(std::filesystem::path dir,
                                                                              std::chrono::seconds maxAge);

  // Makes a new copy whose file name ends in `leafName`: `fill` writes the bytes
  // into the descriptor it is given and returns 0 or an errno value. The copy
  // appears under its final name only after `fill` succeeded; on failure nothing
  // is left behind and the error describes `what`.
  [[nodiscard]] foundation::Result<std::filesystem::path> store(std::string_view leafName, std::string_view what,
                                                                const std::function<int(int fd)>& fill);

  // Removes copies (and abandoned partial copies) older than the maximum age.
  void sweep();

  const std::filesystem::path& directory() const { return dir_; }

 private:
  ContentCache(std::filesystem::path dir, std::chrono::seconds maxAge);
  void sweepIfDue();

  const std::filesystem::path dir_;
  const std::chrono::seconds maxAge_;

  std::mutex sweepMutex_;  // guards lastSweep_ and serialises sweeps
  std::chrono::steady_clock::time_point lastSweep_;
};

}  // namespace corvane::host

// `corvane-fp watch`: what happens on a mount as JSON lines, as it happens:
// each change made on the peer's side that the mount applied, and each
// transfer under way when it starts, while its bytes move, and when it ends.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/mount/MountStatus.h"

namespace corvane::framework::mount {

// The transfer lines of one mount, from one status after another:
// {"domain", "transfer": "upload"|"download", "state": "started"|"progress"|
// "ended", "path", "size", "bytesDone", "bytesPerSecond", "secondsLeft"}.
// "progress" only when the bytes done moved since the last line of it.
class TransferLines {
 public:
  std::vector<std::string> next(const MountStatus& status);

 private:
  struct Shown {
    std::uint64_t size = 0;
    std::optional<std::uint64_t> bytesDone;
  };
  std::map<std::pair<std::string, std::string>, Shown> shown_;  // by (kind, path)
};

// Prints those lines until the mount stops. Exit status 1 when no such mount
// runs (or several and no domain is named).
int watchMount(const std::string& domain, std::ostream& out);

}  // namespace corvane::framework::mount

// SeenFiles: each far file as the extension last saw it through a stat, so an
// upload to it can ask the far side to replace it only if it is still so
// (ExpectedFile). The mount stats a file just before it sends an edit or a new
// file, to see whether the peer changed it; this closes the round trip between
// that look and the upload's arrival. What this side changes itself (uploads,
// renames, deletions) is forgotten, and the next look learns it again.
//
// Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/stream/ShareStreamProtocol.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane::host {

class SeenFiles {
 public:
  // A stat's answer: the file's entry, or null when nothing is there.
  void saw(const std::string& path, const std::shared_ptr<const VfsFileEntryDto>& entry);
  // Forgets `path` and everything below it.
  void forget(const std::string& path);
  // What the file at `path` was last seen as, and forgets it.
  std::optional<ExpectedFile> take(const std::string& path);

 private:
  std::mutex mutex_;  // guards seen_
  std::map<std::string, ExpectedFile> seen_;  // ordered: a folder and what is below it are one run
};

}  // namespace corvane::host

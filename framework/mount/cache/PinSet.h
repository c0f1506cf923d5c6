// PinSet: the paths in a mount the user pinned (`corvane-fp pin`), kept in
// <state folder>/corvane/<domain>/pins.json so that they stay pinned across
// remounts. A pinned folder pins everything below it. The file is written in one
// rename by the pin commands and read by the mount, which re-reads it whenever
// it changed.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"

namespace corvane::framework::mount {

class PinSet {
 public:
  static std::optional<std::filesystem::path> fileFor(const std::string& domain);

  // Paths start with "/" and name no "." or ".." component; a missing file is no pins.
  static foundation::Result<std::vector<std::string>> read(const std::filesystem::path& file);
  static foundation::Status write(const std::filesystem::path& file, std::vector<std::string> paths);
  static bool covers(const std::vector<std::string>& pins, const std::string& path);

  explicit PinSet(std::filesystem::path file) : file_(std::move(file)) {}
  // Whether `identifier` ("<peer>::<path>") lies in a pinned path, by the file as it is now.
  bool pinned(const std::string& identifier);
  // Whether `path` (in the mount, from "/") lies in a pinned path.
  bool pinnedPath(const std::string& path);

 private:
  const std::filesystem::path file_;
  std::mutex mutex_;  // guards what follows
  struct timespec seen_ {};
  ino_t seenInode_ = 0;
  std::vector<std::string> pins_;
};

}  // namespace corvane::framework::mount

// `corvane-fp mount`: makes one domain's share a folder through FUSE, and the
// commands that look at running mounts.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane::framework::mount {

struct MountOptions {
  std::string domain = "sample";
  std::string displayName;                     // empty: the root takes the localized name of a shared folder
  std::optional<std::filesystem::path> share;  // absent: the sample share
  bool noHost = false;                         // wait for a host started elsewhere
  bool foreground = false;
  // How long a stop waits for queued uploads; what is left goes with the next mount.
  std::chrono::milliseconds drainTimeout{std::chrono::seconds(60)};
  std::filesystem::path mountPoint;
};

// Mounts and serves until SIGINT/SIGTERM or an unmount. Exit status 2 when the
// mount cannot be made (no FUSE, a bad mount point), 1 for other failures.
int runMount(const MountOptions& options);

// `corvane-fp unmount MOUNTPOINT`: stops the mount there as SIGTERM would and
// follows its drain of queued uploads until the process is gone. Exit status 2
// when nothing of ours is mounted there.
int runUnmount(const std::filesystem::path& mountPoint);

}  // namespace corvane::framework::mount

// `corvane-fp mount`: makes one domain's share a folder through FUSE, and the
// commands that look at running mounts.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
  // The cache's budget and the free space it leaves; absent: the defaults.
  std::optional<std::uint64_t> cacheMax;
  std::optional<std::uint64_t> cacheMinFree;
};

// "1048576", "512K", "300M", "2G", "1T", also with "B" or "iB" after the unit
// (all binary multiples); absent for anything else.
std::optional<std::uint64_t> parseSize(const std::string& text);

// The first executable `program` in a folder of $PATH, if any.
std::optional<std::filesystem::path> onPath(const char* program);

// `corvane-fp doctor [--json]`: exit status 1 when a check failed.
int runDoctor(bool json);

// Mounts and serves until SIGINT/SIGTERM or an unmount. Exit status 2 when the
// mount cannot be made (no FUSE, a bad mount point), 1 for other failures.
int runMount(const MountOptions& options);

// `corvane-fp unmount MOUNTPOINT`: stops the mount there as SIGTERM would and
// follows its drain of queued uploads until the process is gone. Exit status 2
// when nothing of ours is mounted there.
int runUnmount(const std::filesystem::path& mountPoint);
// `corvane-fp unmount --all`: every mount of this user at once.
int runUnmountAll();

// `corvane-fp pin PATH...` (pin true) and `corvane-fp unpin PATH...`. Exit
// status 2 when a path is in no running mount, 1 when something failed.
int runPin(const std::vector<std::string>& paths, bool pin);

// `corvane-fp install-service DOMAIN --share DIR [--display-name NAME]`: exit
// status 2 for a domain, share or name a service cannot use.
int runInstallService(const std::string& domain, const std::filesystem::path& share, std::string displayName);

}  // namespace corvane::framework::mount

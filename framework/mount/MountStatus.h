// The status file a running mount keeps, one per domain, in
// <runtime folder>/mounts/<domain>.json (the runtime folder is the one the
// sockets live in), and what `corvane-fp status` makes of them. Each write
// replaces the file in one rename, so a reader never sees half of one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"

namespace corvane::framework::mount {

// How far a transfer under way has come, as the host that moves its bytes
// last said; known only for a share on another machine (a local share's copy
// runs at disk speed, and is done before anyone looks).
struct TransferProgress {
  std::optional<std::uint64_t> bytesDone;
  std::optional<double> bytesPerSecond;  // since the transfer began
  std::optional<double> secondsLeft;     // at that rate
};

struct QueuedUploadStatus {
  std::string path;  // in the mount
  std::uint64_t size = 0;
  std::uint32_t attempts = 0;
  std::string lastError;
  bool failed = false;              // kept in the journal, not retried until the next mount
  std::int64_t sendingSinceMs = 0;  // wall clock; 0 while it waits its turn
  TransferProgress progress;        // read from the host, never written by the mount
};

// A file the mount is fetching for a program that opened it.
struct DownloadStatus {
  std::string path;  // in the mount
  std::uint64_t size = 0;
  std::int64_t startedMs = 0;  // wall clock
  TransferProgress progress;   // read from the host, never written by the mount
};

struct ConflictStatus {
  std::string path;  // edited on both sides
  std::string copy;  // the name the local contents got beside it
};

// The stream to a share on another machine, as its host last said.
struct RemoteLinkStatus {
  std::string address;  // [USER@]HOST:DIR
  bool up = false;
  std::optional<double> roundTripMs;  // the last keep-alive's, while up
  std::string why;                    // while down
};

struct MountStatus {
  std::string domain;
  std::string mountPoint;
  pid_t pid = 0;          // the mount's process
  pid_t hostPid = 0;      // its host child; 0 for --no-host or while restarting
  std::string linkPhase;  // "ready", "waiting" (no host linked) or "unresponsive" (linked, not answering)
  std::uint64_t cacheBytes = 0;
  std::uint64_t pendingUploads = 0;
  std::vector<QueuedUploadStatus> queued;
  std::vector<DownloadStatus> downloads;
  std::vector<ConflictStatus> conflicts;  // made by this run
  // For a share elsewhere: read from its host's link file, never written by the mount.
  std::optional<RemoteLinkStatus> remote;
};

// One `watch` line of a transfer: {"domain", "transfer": `kind`, "state", "path",
// "size", "bytesDone", "bytesPerSecond", "secondsLeft"}.
std::string transferLine(const std::string& domain, const std::string& kind, const char* state, const std::string& path,
                         std::uint64_t size, const TransferProgress& progress);

std::filesystem::path statusFolder();

foundation::Status writeStatus(const MountStatus& status);
void removeStatus(const std::string& domain);

// Beside the status file, <domain>.changes.jsonl: one JSON line per change made
// on the peer's side that the mount applied, for `corvane-fp watch`. Emptied
// when the mount starts and when it grows past a few MiB.
std::filesystem::path remoteChangesPath(const std::string& domain);
void appendRemoteChanges(const std::string& domain, const std::vector<std::string>& lines);

// The process is there and not a zombie its parent has yet to reap.
bool processAlive(pid_t pid);

// Every mount whose process is still alive, by domain.
std::vector<MountStatus> readStatuses();

// `corvane-fp status [--json] [--domain ID]`: returns the exit status.
int printStatus(const std::vector<MountStatus>& statuses, bool json, const std::string& onlyDomain, std::ostream& out);

}  // namespace corvane::framework::mount

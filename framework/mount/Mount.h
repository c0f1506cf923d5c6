// Mount: one domain's share as a folder, from its parts. open() makes them in
// the order they need each other (the cache and the journal, the domain and its
// host, the link, the upload queue and its replay, the file system, the FUSE
// session); serve() answers the kernel until a stop; stop() ends them in the
// order that loses nothing: seal what handles wrote, unmount, send what was
// closed (up to the drain timeout), stop the host. The members are declared in
// the order they are made, so whatever open() made before a failure goes in
// reverse.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/DomainManager.h"
#include "framework/mount/RemoteChangeFeed.h"
#include "framework/mount/StatusReporter.h"
#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/cache/PinSet.h"
#include "framework/mount/cache/PinnedRefresh.h"
#include "framework/mount/filesystem/MountFileSystem.h"
#include "framework/mount/fuse/FuseSession.h"
#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/service/HostSupervisor.h"
#include "framework/mount/service/HostWatch.h"
#include "framework/mount/service/LogBound.h"
#include "framework/mount/tree/ChangePoller.h"
#include "framework/mount/tree/ModifiedTimes.h"
#include "framework/mount/upload/UploadQueue.h"
#include "host/stream/RemoteAddress.h"

namespace corvane::framework::mount {

struct MountOptions {
  std::string domain = "sample";
  std::string displayName;                     // empty: the root takes the localized name of a shared folder
  std::optional<std::filesystem::path> share;  // absent: the sample share
  // A share on another machine instead, reached over ssh.
  std::optional<host::RemoteAddress> remote;
  std::optional<std::string> sshCommand;  // absent: $CORVANE_SSH_COMMAND, else ssh
  std::optional<std::string> remoteProgram;
  bool noHost = false;                         // wait for a host started elsewhere
  bool foreground = false;
  // How long a stop waits for queued uploads; what is left goes with the next mount.
  std::chrono::milliseconds drainTimeout{std::chrono::seconds(60)};
  std::filesystem::path mountPoint;
  // The cache's budget and the free space it leaves; absent: the defaults.
  std::optional<std::uint64_t> cacheMax;
  std::optional<std::uint64_t> cacheMinFree;
};

class Mount {
 public:
  struct Failure {
    int status;  // 2: the mount cannot be made here; 1: anything else
    std::string message;
  };

  // `share` is the folder the host serves (empty with --no-host).
  Mount(MountOptions options, std::filesystem::path mountPoint, std::filesystem::path share);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  // Mounted, with the root listed; or why not.
  std::optional<Failure> open();
  // Answers the kernel until a stop signal or an unmount: 0 for a clean stop.
  // `ready` runs once the folder is usable.
  int serve(const std::function<void()>& ready);
  void stop();

 private:
  std::optional<Failure> openStorage();
  std::optional<Failure> connectHost();
  void openUploads();
  std::optional<Failure> openFileSystem();
  // Waits for what was closed to reach the peer: how many are left.
  std::size_t drain();

  const MountOptions options_;
  const std::filesystem::path mountPoint_;
  const std::filesystem::path share_;
  std::shared_ptr<MaterializedCache> cache_;
  std::unique_ptr<UploadJournal> journal_;  // until the upload queue takes it
  std::shared_ptr<ModifiedTimes> times_;
  std::filesystem::path pendingFolder_;
  DomainManager domains_;
  fileprovider::ReplicatedExtensionPtr extension_;
  std::unique_ptr<HostSupervisor> host_;
  StatusReporter status_;
  std::optional<LogBound> eventLog_;
  // Watches the host while calls wait on it, for both sets of calls.
  std::shared_ptr<HostWatch> watch_;
  // The kernel's requests and the upload queue wait on calls of their own, so a
  // stop can end the first at once and give the second its drain time.
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ExtensionCalls> uploadCalls_;
  std::shared_ptr<UploadQueue> uploads_;
  std::shared_ptr<PinSet> pins_;
  std::unique_ptr<MountFileSystem> fs_;
  RemoteChangeFeed feed_;
  std::unique_ptr<FuseSession> session_;
  std::unique_ptr<PinnedRefresh> refresh_;  // made once mounted: it opens files through the folder
};

}  // namespace corvane::framework::mount

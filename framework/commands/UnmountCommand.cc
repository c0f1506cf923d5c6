// `corvane-fp unmount MOUNTPOINT` and `unmount --all`: stops from another terminal. The mount is
// asked to stop as Ctrl-C would ask it; its drain is followed through the
// status file it keeps rewriting, until the process is gone.
#include "framework/commands/UnmountCommand.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "framework/mount/MountStatus.h"
#include "framework/mount/upload/UploadJournal.h"
#include "platform/foundation/FolderContents.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

std::size_t recordsIn(const std::filesystem::path& folder) {
  std::size_t count = 0;
  for (const auto& file : foundation::contentsOfFolder(folder)) {
    if (file.extension() == ".json") ++count;
  }
  return count;
}

// Asks each mount to stop, then follows their drains until every process is gone.
int stopAll(const std::vector<MountStatus>& mounts) {
  std::map<pid_t, std::optional<std::uint64_t>> shown;
  int status = 0;
  for (const auto& mount : mounts) {
    if (::kill(mount.pid, SIGTERM) != 0) {
      std::fprintf(stderr, "corvane-fp unmount: cannot stop mount pid %d\n", static_cast<int>(mount.pid));
      status = 1;
    } else {
      shown[mount.pid];
    }
  }
  while (std::any_of(shown.begin(), shown.end(), [](const auto& p) { return processAlive(p.first); })) {
    for (const auto& now : readStatuses()) {
      auto it = shown.find(now.pid);
      if (it == shown.end() || now.linkPhase != "draining" || it->second == now.pendingUploads) continue;
      std::fprintf(stderr, "corvane-fp unmount: %s: %llu uploads still to send\n", now.mountPoint.c_str(),
                   static_cast<unsigned long long>(now.pendingUploads));
      it->second = now.pendingUploads;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto& mount : mounts) {
    if (!shown.count(mount.pid)) continue;
    std::fprintf(stderr, "corvane-fp unmount: %s is unmounted\n", mount.mountPoint.c_str());
    if (auto journal = UploadJournal::open(mount.domain); journal.ok()) {
      if (std::size_t left = recordsIn((*journal)->folder())) {
        std::fprintf(stderr, "corvane-fp unmount: %zu uploads stay in %s for the next mount of domain \"%s\"\n", left,
                     (*journal)->folder().c_str(), mount.domain.c_str());
      }
    }
  }
  return status;
}


int runUnmount(const std::filesystem::path& mountPoint) {
  std::error_code error;
  const auto wanted = std::filesystem::absolute(mountPoint, error).lexically_normal();
  for (auto& status : readStatuses()) {
    if (std::filesystem::path(status.mountPoint).lexically_normal() == wanted) return stopAll({status});
  }
  std::fprintf(stderr, "corvane-fp unmount: no corvane-fp mount is running at %s\n", wanted.c_str());
  return 2;
}

int runUnmountAll() {
  const auto mounts = readStatuses();
  if (mounts.empty()) std::fprintf(stderr, "corvane-fp unmount: no corvane-fp mount is running\n");
  return stopAll(mounts);
}

}  // namespace

int runUnmountCommand(const Arguments& arguments) {
  if (arguments.size() != 1) return kBadArguments;
  return arguments[0] == "--all" ? runUnmountAll() : runUnmount(arguments[0]);
}

}  // namespace corvane::framework::commands

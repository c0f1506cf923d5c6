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
#include "framework/mount/common/Counted.h"
#include "framework/mount/upload/UploadJournal.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

// What the mount left in its journal, read as its next run will read it.
void tellWhatStays(const std::string& domain) {
  auto journal = UploadJournal::open(domain);
  if (!journal.ok()) {
    std::fprintf(stderr, "corvane-fp unmount: %s\n", journal.error().localizedDescription().c_str());
    return;
  }
  const auto left = (*journal)->load();
  if (left.empty()) return;
  std::fprintf(stderr, "corvane-fp unmount: %s %s in %s for the next mount of domain \"%s\":\n",
               counted(left.size(), "upload").c_str(), left.size() == 1 ? "stays" : "stay",
               (*journal)->folder().c_str(), domain.c_str());
  for (const auto& record : left) {
    std::fprintf(stderr, "  %s%s\n", record.path.c_str(), record.failed ? " (refused by the peer)" : "");
  }
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
      std::fprintf(stderr, "corvane-fp unmount: %s: %s still to send\n", now.mountPoint.c_str(),
                   counted(now.pendingUploads, "upload").c_str());
      it->second = now.pendingUploads;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto& mount : mounts) {
    if (!shown.count(mount.pid)) continue;
    std::fprintf(stderr, "corvane-fp unmount: %s is unmounted\n", mount.mountPoint.c_str());
    tellWhatStays(mount.domain);
  }
  return status;
}


int runUnmount(const std::filesystem::path& mountPoint) {
  std::error_code error;
  // "mnt/" as tab completion writes it is "mnt".
  auto wanted = std::filesystem::absolute(mountPoint, error).lexically_normal();
  if (!wanted.has_filename()) wanted = wanted.parent_path();
  for (auto& status : readStatuses()) {
    if (std::filesystem::path(status.mountPoint).lexically_normal() == wanted) return stopAll({status});
  }
  std::fprintf(stderr, "corvane-fp unmount: no corvane-fp mount is running at %s\n", wanted.c_str());
  return 1;
}

int runUnmountAll() {
  const auto mounts = readStatuses();
  if (mounts.empty()) std::fprintf(stderr, "corvane-fp unmount: no corvane-fp mount is running\n");
  return stopAll(mounts);
}

}  // namespace

int runUnmountCommand(const Arguments& arguments) {
  if (arguments.empty()) throw UsageError("a MOUNTPOINT or --all is needed");
  if (arguments.size() > 1) ArgumentReader::unexpected(arguments[1]);
  if (arguments[0] != "--all" && arguments[0].starts_with("-")) ArgumentReader::unexpected(arguments[0]);
  return arguments[0] == "--all" ? runUnmountAll() : runUnmount(arguments[0]);
}

}  // namespace corvane::framework::commands

// `corvane-fp unmount MOUNTPOINT`: a stop from another terminal. The mount is
// asked to stop as Ctrl-C would ask it; its drain is followed through the
// status file it keeps rewriting, until the process is gone.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "framework/mount/MountCommand.h"
#include "framework/mount/MountStatus.h"
#include "framework/mount/UploadJournal.h"

namespace corvane::framework::mount {

namespace {

std::size_t recordsIn(const std::filesystem::path& folder) {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".json") ++count;
  }
  return count;
}

}  // namespace

int runUnmount(const std::filesystem::path& mountPoint) {
  std::error_code error;
  const auto wanted = std::filesystem::absolute(mountPoint, error).lexically_normal();
  std::optional<MountStatus> found;
  for (auto& status : readStatuses()) {
    if (std::filesystem::path(status.mountPoint).lexically_normal() == wanted) found = std::move(status);
  }
  if (!found) {
    std::fprintf(stderr, "corvane-fp unmount: no corvane-fp mount is running at %s\n", wanted.c_str());
    return 2;
  }
  if (::kill(found->pid, SIGTERM) != 0) {
    std::fprintf(stderr, "corvane-fp unmount: cannot stop mount pid %d\n", static_cast<int>(found->pid));
    return 1;
  }
  std::optional<std::uint64_t> shown;
  while (processAlive(found->pid)) {
    for (const auto& status : readStatuses()) {
      if (status.pid != found->pid || status.linkPhase != "draining") continue;
      if (shown != status.pendingUploads) {
        std::fprintf(stderr, "corvane-fp unmount: %llu uploads still to send\n",
                     static_cast<unsigned long long>(status.pendingUploads));
        shown = status.pendingUploads;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "corvane-fp unmount: %s is unmounted\n", wanted.c_str());
  if (auto journal = UploadJournal::open(found->domain); journal.ok()) {
    if (std::size_t left = recordsIn((*journal)->folder())) {
      std::fprintf(stderr, "corvane-fp unmount: %zu uploads stay in %s for the next mount of domain \"%s\"\n", left,
                   (*journal)->folder().c_str(), found->domain.c_str());
    }
  }
  return 0;
}

}  // namespace corvane::framework::mount

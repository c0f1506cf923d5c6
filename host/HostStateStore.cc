#include "host/HostStateStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "host/HostError.h"
#include "host/HostLocations.h"
#include "platform/foundation/FileManager.h"

namespace corvane::host {

HostStateStore::HostStateStore(std::filesystem::path file, foundation::UniqueFd lock)
    : file_(std::move(file)), lock_(std::move(lock)) {}

foundation::Result<std::unique_ptr<HostStateStore>> HostStateStore::open(const std::filesystem::path& dir,
                                                                         std::string_view peerId) {
  if (int err = foundation::makePrivateFolders(dir)) {
    return vfsErrorFromErrno(err, "Cannot create the host state folder " + dir.string());
  }
  const std::string stem = peerFileStem(peerId);
  const std::filesystem::path lockPath = lockFile(dir, peerId);
  foundation::UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid()) return vfsErrorFromErrno(errno, "Cannot open " + lockPath.string());
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return vfsError(VfsErrorCode::serviceUnavailable, "Another host is already serving peer " + std::string(peerId));
    }
    return vfsErrorFromErrno(errno, "Cannot lock " + lockPath.string());
  }
  return std::unique_ptr<HostStateStore>(new HostStateStore(dir / (stem + ".state"), std::move(lock)));
}

HostStateStore::Loaded HostStateStore::load() const {
  foundation::Result<foundation::Data> bytes = foundation::FileManager::contentsOf(file_);
  if (!bytes) {
    const foundation::Error* posix = bytes.error().underlyingError();
    bool missing = posix && posix->code() == ENOENT;
    return Loaded{missing ? Outcome::missing : Outcome::damaged, std::nullopt};
  }
  std::optional<HostState> state =
      decodeHostState(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!state) return Loaded{Outcome::damaged, std::nullopt};
  return Loaded{Outcome::loaded, std::move(state)};
}

bool HostStateStore::save(const HostState& state) {
  std::string bytes = encodeHostState(state);
  return foundation::FileManager::writeAtomically(file_, foundation::dataFromString(bytes)).ok();
}

void HostStateStore::discard() { ::unlink(file_.c_str()); }

}  // namespace corvane::host

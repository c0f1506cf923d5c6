#include "framework/mount/files/FileContents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/Error.h"
#include "platform/foundation/FileCopy.h"

namespace corvane::framework::mount {

FileContents::Copy::~Copy() {
  if (owned && !path.empty()) ::unlink(path.c_str());
}

void FileContents::opened() {
  std::lock_guard guard(mutex_);
  ++opens_;
}

void FileContents::released() {
  std::lock_guard guard(mutex_);
  if (--opens_ > 0) return;
  if (sealed_ && (queued_ == 0 || unlinked_)) sealed_.reset();
  if (live_ && (!modified_ || unlinked_)) live_.reset();
}

int FileContents::makeLive(const PeerSource& peer, bool keepBytes) {
  std::shared_ptr<Copy> source;
  std::optional<foundation::Data> peerVersion;
  bool clean = false;
  {
    std::lock_guard guard(mutex_);
    if (live_) return 0;
    source = sealed_;
    clean = queued_ == 0;
    peerVersion = peerVersion_;
    making_ = true;
  }
  struct Made {
    FileContents& contents;
    ~Made() {
      std::lock_guard guard(contents.mutex_);
      contents.making_ = false;
      contents.renamedWhileMaking_.clear();
    }
  } made_{*this};
  auto work = workFiles_.newWorkFile();
  if (!work.ok()) {
    const auto& error = work.error();
    return error.domain() == foundation::kPosixErrorDomain ? static_cast<int>(error.code()) : EIO;
  }
  auto made = std::make_shared<Copy>();
  made->path = std::move(work->first);
  made->fd = std::move(work->second);
  if (source) {
    made->base = clean ? peerVersion : source->base;
    made->followsLocal = !clean;
    if (keepBytes) {
      if (int err = foundation::copyFileContents(source->fd.get(), made->fd.get())) return err;
    }
  } else {
    Peer from;
    if (int err = peer.peerContents(from)) return err;
    made->base = std::move(from.version);
    if (keepBytes && from.fd.valid()) {
      if (int err = foundation::copyFileContents(from.fd.get(), made->fd.get())) return err;
    }
  }
  std::lock_guard guard(mutex_);
  for (const auto& [before, after] : renamedWhileMaking_) {
    if (made->base == before) made->base = after;
  }
  live_ = std::move(made);
  modified_ = false;
  return 0;
}

int FileContents::change(const PeerSource& peer, bool keepBytes, const std::function<int(int fd)>& change) {
  std::lock_guard changing(changing_);
  if (int err = makeLive(peer, keepBytes)) return err;
  std::shared_ptr<Copy> live;
  {
    std::lock_guard guard(mutex_);
    live = live_;
  }
  if (int err = change(live->fd.get())) return err;
  std::lock_guard guard(mutex_);
  modified_ = true;
  return 0;
}

int FileContents::create() {
  // A new file: nothing on the peer, and nothing to copy.
  struct None final : PeerSource {
    int peerContents(Peer&) const override { return 0; }
  };
  return change(None{}, false, [](int) { return 0; });
}

int FileContents::seal(const Uploads& uploads) {
  std::lock_guard changing(changing_);
  std::shared_ptr<Copy> live;
  {
    std::lock_guard guard(mutex_);
    if (!live_ || !modified_ || unlinked_) return 0;
    live = live_;
  }
  std::uint64_t sequence = 0;
  if (int err = uploads.enqueue(*live, sequence)) return err;
  if (sequence == 0) return 0;  // the file went meanwhile: nothing was queued
  std::lock_guard guard(mutex_);
  live->owned = false;
  sealed_ = std::move(live);
  live_.reset();
  modified_ = false;
  queued_ = sequence;
  peerVersion_.reset();
  return 0;
}

void FileContents::landed(std::uint64_t sequence, std::optional<foundation::Data> version) {
  std::lock_guard guard(mutex_);
  if (queued_ == 0 || sequence < queued_) return;  // a later upload is still due
  queued_ = 0;
  if (version && opens_ > 0) {
    peerVersion_ = std::move(version);
  } else {
    sealed_.reset();
  }
}

void FileContents::unlinked() {
  std::lock_guard guard(mutex_);
  unlinked_ = true;
}

void FileContents::rebase(const foundation::Data& before, const foundation::Data& after) {
  std::lock_guard guard(mutex_);
  for (auto* copy : {live_.get(), sealed_.get()}) {
    if (copy && copy->base == before) copy->base = after;
  }
  if (peerVersion_ == before) peerVersion_ = after;
  if (making_) renamedWhileMaking_.emplace_back(before, after);
}

FileContents::CopyPtr FileContents::readable() const {
  std::lock_guard guard(mutex_);
  return live_ ? live_ : sealed_;
}

std::optional<off_t> FileContents::size() const {
  auto copy = readable();
  struct stat st {};
  if (!copy || ::fstat(copy->fd.get(), &st) != 0) return std::nullopt;
  return st.st_size;
}

bool FileContents::dirty() const {
  std::lock_guard guard(mutex_);
  return !unlinked_ && ((live_ && modified_) || queued_ != 0);
}

bool FileContents::isOpen() const {
  std::lock_guard guard(mutex_);
  return opens_ > 0;
}

std::uint64_t FileContents::queued() const {
  std::lock_guard guard(mutex_);
  return queued_;
}

}  // namespace corvane::framework::mount

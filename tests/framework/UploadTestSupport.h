// Queues uploads the way a close does, for the mount's parts tested without FUSE.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "framework/mount/upload/UploadQueue.h"

namespace corvane::framework::mount {

// Queues `bytes` as the latest contents of the file `key`, called `name` in the
// peer's top folder: an edit of `base`, or a new file without one. Its sequence number.
inline std::uint64_t closeInto(UploadQueue& queue, std::uint64_t key, const std::string& name,
                               const std::string& bytes, const fileprovider::ItemPtr& base = nullptr) {
  auto [path, fd] = queue.journal().newWorkFile().value();
  EXPECT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  PendingUpload record;
  record.parentIdentifier = fileprovider::ItemIdentifier::rootContainer().rawValue();
  record.name = name;
  record.path = "/" + name;
  if (base) {
    record.identifier = base->itemIdentifier().rawValue();
    record.baseVersion = base->itemVersion().contentVersion;
  }
  std::uint64_t sequence = 0;
  EXPECT_EQ(queue.enqueue(key, record, false, fd.get(), path, sequence), 0);
  return sequence;
}

}  // namespace corvane::framework::mount

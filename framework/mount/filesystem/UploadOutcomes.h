// UploadOutcomes: what the upload queue's reports do to the tree. A file stored
// on the peer: its node names the peer's item, and the kernel keeps the pages
// it wrote. A conflict: the name shows the peer's file again (nothing, when
// the peer deleted it) and the local bytes are the copy beside it.
//
// Thread-safe: called from the upload workers, with the file's folder held
// off (its `mutating` lock) and then the table held while the node changes.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/mount/tree/Invalidations.h"
#include "framework/mount/tree/NodeTable.h"
#include "framework/mount/upload/UploadQueue.h"

namespace corvane::framework::mount {

class UploadOutcomes final : public UploadQueue::Listener {
 public:
  UploadOutcomes(NodeTable& table, Invalidations& invalidations) : table_(table), invalidations_(invalidations) {}

  void stored(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& item, bool intoCopy) override;
  void conflicted(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& peer,
                  const fileprovider::ItemPtr& copy) override;

 private:
  // Runs `change(held, file, folder, invalidations)` on the file `key` in its folder,
  // then tells the kernel what it changed. Nothing for a file gone from the table.
  template <typename Change>
  void onLanded(std::uint64_t key, const Change& change);

  NodeTable& table_;
  Invalidations& invalidations_;
};

}  // namespace corvane::framework::mount

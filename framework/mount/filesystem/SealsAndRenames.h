// SealsAndRenames: a seal names the file as it is named when its contents go
// into the upload queue, and a rename or delete changes that name, as does a
// rename of any folder above it; so the two wait for each other. Each counts
// itself for as long as its token lives (LocalState::sealing, ::renaming): a
// rename on the nodes it renames or replaces, a seal on its file and every
// folder above it, so a folder's count covers the seals of all below it. The
// token's end wakes whoever waits on the other kind.
//
// Every wait and count is made with the table held, through the caller's
// NodeTable::Held; a token takes the table again as it ends.
#pragma once

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "framework/mount/tree/NodeTable.h"

namespace corvane::framework::mount {

class SealsAndRenames {
 public:
  explicit SealsAndRenames(NodeTable& table) : table_(table) {}

  // Counts its kind on its nodes until it goes.
  class Token {
   public:
    Token(Token&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), count_(other.count_), nodes_(std::move(other.nodes_)) {}
    Token& operator=(Token&&) = delete;
    ~Token() {
      if (!owner_) return;
      {
        const auto held = owner_->table_.hold();
        for (const auto& node : nodes_) --(node->localState().*count_);
      }
      owner_->ended_.notify_all();
    }

   private:
    friend class SealsAndRenames;
    Token(SealsAndRenames& owner, int LocalState::*count, std::vector<NodePtr> nodes)
        : owner_(&owner), count_(count), nodes_(std::move(nodes)) {
      for (const auto& node : nodes_) ++(node->localState().*count_);
    }
    SealsAndRenames* owner_;
    int LocalState::*count_;
    std::vector<NodePtr> nodes_;
  };

  // Waits until no seal of `nodes` (or of anything below them) is on its way,
  // then counts a rename (or a delete) of them: seals wait from then on.
  Token renaming(NodeTable::Held& held, std::vector<NodePtr> nodes) {
    ended_.wait(held.lock(), [&] {
      for (const auto& node : nodes) {
        if (node->sealing() != 0) return false;
      }
      return true;
    });
    return Token(*this, &LocalState::renaming, std::move(nodes));
  }
  // Waits until no rename or delete of `file` or a folder above it is under
  // way, then counts a seal.
  Token sealing(NodeTable::Held& held, const NodePtr& file) {
    std::vector<NodePtr> path = table_.withFoldersAbove(held, file);
    ended_.wait(held.lock(), [&] {
      for (const auto& node : path) {
        if (node->renaming() != 0) return false;
      }
      return true;
    });
    return Token(*this, &LocalState::sealing, std::move(path));
  }

 private:
  NodeTable& table_;
  std::condition_variable ended_;  // on the table's mutex: a token went
};

}  // namespace corvane::framework::mount

#include "framework/mount/tree/FolderListings.h"

#include <atomic>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/ConcurrentPerform.h"

namespace corvane::framework::mount {

using fileprovider::ItemIdentifier;
using fileprovider::ItemPtr;

namespace {
constexpr std::size_t kListingsAtOnce = 16;
}  // namespace

FolderListings::FolderListings(std::shared_ptr<ExtensionCalls> calls, NodeTable& table, Invalidations& invalidations,
                               bool shareElsewhere)
    : calls_(std::move(calls)), table_(table), invalidations_(invalidations), shareElsewhere_(shareElsewhere) {}

int FolderListings::ensureListed(const NodePtr& folder) {
  if (!folder->folder) return ENOTDIR;
  {
    const auto held = table_.hold();
    if (folder->folderState->listed) return 0;
  }
  // Not with the folder's listing lock held: the preload takes it to list the
  // folder, and would wait out its own deadline.
  if (folder->inode != FUSE_ROOT_ID) awaitPreload();
  std::lock_guard listing(folder->folderState->listingMutex);
  {
    const auto held = table_.hold();
    if (folder->folderState->listed) return 0;
  }
  return listNow(folder);
}

int FolderListings::listNow(const NodePtr& folder) {
  // A listing taken while this mount changed the folder may not show the
  // change; it is taken again, and at last with the folder's changes held off.
  // So is one of a folder renamed here meanwhile: it names the old paths.
  std::vector<Invalidation> changed;
  for (int attempt = 0;; ++attempt) {
    std::unique_lock<std::shared_mutex> holdingOff;
    if (attempt == 4) holdingOff = std::unique_lock(folder->folderState->mutating);
    std::uint64_t asked;
    ItemIdentifier identifier{""};
    {
      const auto held = table_.hold();
      asked = table_.localChanges();
      identifier = folder->identifier;
    }
    auto listed = calls_->list(identifier);
    const auto held = table_.hold();
    const bool renamed = folder->identifier.rawValue() != identifier.rawValue();
    if (renamed && attempt < 4) continue;
    if (!listed.ok()) {
      // Offline: what was listed before still serves.
      return folder->folderState->children.empty() ? errnoFor(listed.error()) : 0;
    }
    if ((folder->folderState->changedAt > asked || NodeTable::changingNow(held, folder)) && attempt < 4) continue;
    changed = apply(held, folder, std::move(*listed));
    break;
  }
  invalidations_.post(std::move(changed));
  if (folder->inode == FUSE_ROOT_ID) std::call_once(importFinished_, [&] { calls_->importDidFinish(); });
  return 0;
}

std::vector<Invalidation> FolderListings::apply(const NodeTable::Held& held, const NodePtr& folder,
                                                FolderListing listing) {
  struct Was {
    fuse_ino_t inode;
    std::optional<foundation::Data> version;
  };
  const bool again = folder->folderState->anchor.has_value();
  std::unordered_map<std::string, Was> before;
  if (again) {
    folder->folderState->children.each([&](const Node& child) {
      before[child.name()] = {child.inode,
                              child.item ? std::optional(child.item->itemVersion().contentVersion) : std::nullopt};
    });
  }
  table_.relist(held, folder, listing.items);
  folder->folderState->anchor = std::move(listing.anchor);
  folder->folderState->listed = true;
  std::vector<Invalidation> out;
  if (!again) return out;
  folder->folderState->children.each([&](const Node& child) {
    auto was = before.find(child.name());
    if (was == before.end() || was->second.inode != child.inode) {
      out.push_back({Invalidation::Kind::entry, folder->inode, child.name()});
    } else if (child.item && child.item->itemVersion().contentVersion != was->second.version) {
      out.push_back({Invalidation::Kind::contents, child.inode, {}});
    }
  });
  for (const auto& [name, was] : before) {
    if (folder->folderState->children.find(name) == 0) out.push_back({Invalidation::Kind::entry, folder->inode, name});
  }
  if (!out.empty()) out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  return out;
}

std::optional<fileprovider::SyncAnchor> FolderListings::preload() {
  {
    std::lock_guard guard(preloadMutex_);
    preloadUntil_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  }
  auto anchor = shareElsewhere_ ? listEachFolder() : walkOnce();
  {
    std::lock_guard guard(preloadMutex_);
    preloadUntil_.reset();
  }
  preloadDone_.notify_all();
  return anchor;
}

std::optional<fileprovider::SyncAnchor> FolderListings::walkOnce() {
  std::uint64_t renamesBefore;
  {
    const auto held = table_.hold();
    renamesBefore = table_.renames();
  }
  auto everything = calls_->list(ItemIdentifier::workingSet());
  if (!everything.ok() || !everything->anchor) return std::nullopt;
  auto anchor = everything->anchor;
  fillFrom(std::move(*everything), renamesBefore);
  return anchor;
}

void FolderListings::fillFrom(FolderListing everything, std::uint64_t renamesBefore) {
  std::unordered_map<std::string, std::vector<ItemPtr>> byParent;
  for (auto& item : everything.items) byParent[item->parentItemIdentifier().rawValue()].push_back(std::move(item));
  // Breadth-first from the root, so every folder has its node before its own
  // children are placed. A folder listed meanwhile keeps its own listing.
  std::deque<NodePtr> folders{table_.node(FUSE_ROOT_ID)};
  while (!folders.empty()) {
    NodePtr folder = std::move(folders.front());
    folders.pop_front();
    // The table is taken one folder at a time: requests go on meanwhile.
    const auto held = table_.hold();
    // A folder renamed since the walk began has a name the walk never saw: its
    // children would be placed wrongly, so the folders left list themselves.
    if (table_.renames() != renamesBefore) break;
    if (!folder->folderState->listed && !folder->identifier.rawValue().empty()) {
      auto children = byParent.find(std::string(folder->identifier.rawValue()));
      FolderListing listing{{}, everything.anchor};
      if (children != byParent.end()) listing.items = std::move(children->second);
      invalidations_.post(apply(held, folder, std::move(listing)));
    }
    folder->folderState->children.each([&](const Node& child) {
      if (child.folder) folders.push_back(table_.find(held, child.inode));
    });
  }
}

// Over a link of 20 ms the walk, one listing after another, kept a first
// `find` or `git status` waiting for seconds; each depth's folders are listed
// several at once instead, each with its own listing and anchor, as when it is
// first opened. On this machine the one walk is the cheaper: a share of 10,000
// folders was walked in two thirds of the time.
std::optional<fileprovider::SyncAnchor> FolderListings::listEachFolder() {
  // Taken before any folder is listed, so a change made during the walk moves it again.
  std::optional<fileprovider::SyncAnchor> anchor = calls_->currentAnchor(ItemIdentifier::workingSet());
  std::atomic<bool> whole{anchor.has_value()};
  std::vector<NodePtr> depth{table_.node(FUSE_ROOT_ID)};
  while (whole && !depth.empty()) {
    dispatch::concurrentPerform(depth.size(), kListingsAtOnce, [&](std::size_t i) {
      std::lock_guard listing(depth[i]->folderState->listingMutex);
      {
        const auto held = table_.hold();
        if (depth[i]->folderState->listed) return;
      }
      if (listNow(depth[i]) != 0) whole = false;
    });
    std::vector<NodePtr> next;
    const auto held = table_.hold();
    for (const NodePtr& folder : depth) {
      folder->folderState->children.each([&](const Node& child) {
        if (child.folder) next.push_back(table_.find(held, child.inode));
      });
    }
    depth = std::move(next);
  }
  return whole ? anchor : std::nullopt;
}

// The preload lists every folder anyway, and listing folders beside it makes
// the two compete for the link and the host: a first walk of a share of 10,000
// folders took twice as long as waiting for the preload and then walking.
// The deadline keeps a very large share browsable while its walk still runs.
void FolderListings::awaitPreload() {
  std::unique_lock lock(preloadMutex_);
  if (preloadUntil_) preloadDone_.wait_until(lock, *preloadUntil_, [&] { return !preloadUntil_; });
}

}  // namespace corvane::framework::mount

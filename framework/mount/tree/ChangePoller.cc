#include "framework/mount/tree/ChangePoller.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "platform/dispatch/ConcurrentPerform.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Guarded.h"

namespace corvane::framework::mount {

using fileprovider::ItemIdentifier;
using fileprovider::ItemPtr;

namespace {
constexpr std::size_t kFeedsAtOnce = 16;
}  // namespace

ChangePoller::ChangePoller(std::shared_ptr<ExtensionCalls> calls, NodeTable& table, FolderListings& listings,
                           Invalidations& invalidations)
    : calls_(std::move(calls)), table_(table), listings_(listings), invalidations_(invalidations) {}

void ChangePoller::setRemoteChangeSink(RemoteChangeSink sink) {
  std::lock_guard guard(sinkMutex_);
  changeSink_ = std::move(sink);
}

void ChangePoller::round() {
  if (!preloaded_) {
    preloaded_ = true;
    workingSetAnchor_ = listings_.preload();
    if (workingSetAnchor_) return;
  }
  const auto workingSet = ItemIdentifier::workingSet();
  if (workingSetAnchor_) {
    auto quiet = calls_->changes(workingSet, *workingSetAnchor_);
    if (quiet.ok()) return;                   // neither the share nor its epoch moved
    if (!isFileProviderError(quiet.error(), fileprovider::ErrorCode::syncAnchorExpired)) return;  // unreachable: next round
  }
  // Taken before the folders are asked, so a change made meanwhile moves it again.
  workingSetAnchor_ = calls_->currentAnchor(workingSet);

  std::vector<NodePtr> folders, lost;
  {
    const auto held = table_.hold();
    table_.eachNode(held, [&](const NodePtr& node) {
      if (!node->folder || node->identifier.rawValue().empty()) return;
      if (node->folderState->listed && node->folderState->anchor) {
        folders.push_back(node);
      } else if (!node->folderState->listed && !node->folderState->children.empty()) {
        lost.push_back(node);
      }
    });
  }
  std::vector<Invalidation> invalidations;
  std::vector<RemoteChange> changes;
  // The feeds are read several at once: over a link with a round trip of
  // 20 ms, a share of a few hundred folders read one after another kept a
  // change made there from showing for many seconds. They are applied in
  // the table's order afterwards, each checked against what changed here
  // since it was read.
  std::vector<FeedRead> feeds(folders.size());
  dispatch::concurrentPerform(folders.size(), kFeedsAtOnce, [&](std::size_t i) { feeds[i] = readFeed(folders[i]); });
  bool again = false;
  for (std::size_t i = 0; i < folders.size(); ++i) again |= !applyFeed(folders[i], feeds[i], invalidations, changes);
  for (const auto& folder : lost) again |= !listAgain(folder, invalidations, changes);
  // A folder whose feed was set aside is asked again next round, even if the
  // working set is quiet by then.
  if (again) workingSetAnchor_.reset();
  invalidations_.post(std::move(invalidations));
  std::lock_guard guard(sinkMutex_);
  if (changeSink_ && !changes.empty()) changeSink_(changes);
}

// The share's change feed can lag behind what this mount did itself: after a
// file was renamed here and back, it may still report the first rename, whose
// deletion would hide the file and whose addition would show a name the peer no
// longer has. In a folder changed here, each addition and deletion is checked
// against the peer's item first, and kept only if the peer still agrees.
void ChangePoller::confirm(Changes& changes) {
  auto gone = [](const foundation::Result<ItemPtr>& item) {
    return !item.ok() && isFileProviderError(item.error(), fileprovider::ErrorCode::noSuchItem);
  };
  for (auto& batch : changes.updated) {
    std::vector<ItemPtr> kept;
    for (auto& item : batch) {
      auto now = calls_->item(item->itemIdentifier());
      if (gone(now)) continue;
      kept.push_back(now.ok() && (*now)->filename() == item->filename() ? *now : item);
    }
    batch = std::move(kept);
  }
  for (auto& batch : changes.deleted) {
    std::erase_if(batch, [&](const std::string& raw) { return calls_->item(ItemIdentifier(raw)).ok(); });
  }
}

// Most of a busy folder's feed is this mount's own uploads, which the table
// holds already at the versions the feed gives, and names it never had: those
// would be skipped anyway, and asking the peer about each of them would cost a
// round trip per file uploaded. Whatever changes here after the feed was asked
// for makes the round ask again, so what is dropped now cannot be missed.
void ChangePoller::dropKnown(const NodePtr& folder, Changes& changes) {
  const auto held = table_.hold();
  for (auto& batch : changes.updated) {
    std::erase_if(batch,
                  [&](const ItemPtr& item) { return heldAlready(childNamed(held, folder, item->filename()), item); });
  }
  for (auto& batch : changes.deleted) {
    std::erase_if(batch, [&](const std::string& raw) { return !childOf(held, folder, raw); });
  }
}

NodePtr ChangePoller::childNamed(const NodeTable::Held& held, const NodePtr& folder, const std::string& name) const {
  return table_.find(held, folder->folderState->children.find(name));
}

bool ChangePoller::heldAlready(const NodePtr& child, const ItemPtr& item) {
  return child && child->item && child->item->itemVersion() == item->itemVersion();
}

NodePtr ChangePoller::childOf(const NodeTable::Held& held, const NodePtr& folder, const std::string& raw) const {
  auto child = table_.findIdentifier(held, raw);
  return child && child->parent == folder->inode ? child : nullptr;
}

ChangePoller::FeedRead ChangePoller::readFeed(const NodePtr& folder) {
  FeedRead read;
  fileprovider::SyncAnchor anchor;
  bool mutatedHere;
  {
    const auto held = table_.hold();
    read.identifier = folder->identifier;
    anchor = *folder->folderState->anchor;
    read.asked = table_.localChanges();
    mutatedHere = folder->folderState->changedAt != 0;
  }
  read.changes = calls_->changes(read.identifier, anchor);
  if (read.changes.ok() && mutatedHere) {
    dropKnown(folder, *read.changes);
    confirm(*read.changes);
  }
  return read;
}

bool ChangePoller::applyFeed(const NodePtr& folder, FeedRead& read, std::vector<Invalidation>& out,
                             std::vector<RemoteChange>& applied) {
  auto& changes = read.changes;
  const auto held = table_.hold();
  if (folder->identifier != read.identifier) return true;  // renamed meanwhile; listed again on next use
  // Changed here while the feed was read: what it says may be older than what
  // the table holds. The anchor stays, so the next round asks again.
  if (folder->folderState->changedAt > read.asked || NodeTable::changingNow(held, folder)) return false;
  if (!changes.ok()) {
    if (isFileProviderError(changes.error(), fileprovider::ErrorCode::syncAnchorExpired)) {
      folder->folderState->listed = false;  // listed again next round
      out.push_back({Invalidation::Kind::contents, folder->inode, {}});
      return false;
    }
    // A folder the peer no longer has goes with its parent's changes. Else the
    // peer could not be asked: what is cached stays, and the next round asks
    // again even if the share is quiet by then (its anchor moved on meanwhile).
    return isFileProviderError(changes.error(), fileprovider::ErrorCode::noSuchItem);
  }
  const std::size_t before = applied.size();
  applyUpdates(held, folder, *changes, out, applied);
  applyDeletions(held, folder, *changes, out, applied);
  if (changes->anchor) folder->folderState->anchor = changes->anchor;
  if (applied.size() != before) out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  return true;
}

bool ChangePoller::listAgain(const NodePtr& folder, std::vector<Invalidation>& out,
                             std::vector<RemoteChange>& applied) {
  ItemIdentifier identifier{""};
  std::uint64_t asked;
  {
    const auto held = table_.hold();
    identifier = folder->identifier;
    asked = table_.localChanges();
  }
  auto listed = calls_->list(identifier);
  if (!listed.ok()) return isFileProviderError(listed.error(), fileprovider::ErrorCode::noSuchItem);
  const auto held = table_.hold();
  if (folder->folderState->listed || folder->identifier != identifier) return true;
  if (folder->folderState->changedAt > asked || NodeTable::changingNow(held, folder)) return false;
  // The listing is the folder as it is: what it no longer holds went.
  std::set<std::string> present;
  for (const auto& item : listed->items) present.insert(item->itemIdentifier().rawValue());
  Changes changes;
  changes.deleted.emplace_back();
  folder->folderState->children.each([&](const Node& child) {
    if (child.item && !present.count(std::string(child.identifier.rawValue()))) {
      changes.deleted.back().emplace_back(child.identifier.rawValue());
    }
  });
  changes.updated.push_back(std::move(listed->items));
  const std::size_t before = applied.size();
  applyUpdates(held, folder, changes, out, applied);
  applyDeletions(held, folder, changes, out, applied);
  folder->folderState->anchor = std::move(listed->anchor);
  folder->folderState->listed = true;
  if (applied.size() != before) out.push_back({Invalidation::Kind::contents, folder->inode, {}});
  return true;
}

void ChangePoller::applyUpdates(const NodeTable::Held& held, const NodePtr& folder, const Changes& changes,
                                std::vector<Invalidation>& out, std::vector<RemoteChange>& applied) {
  for (const auto& batch : changes.updated) {
    for (const auto& item : batch) {
      const std::string name = item->filename();
      const NodePtr previous = childNamed(held, folder, name);
      if (heldAlready(previous, item)) continue;
      // The local edit wins until sent; a new file keeps its name until its
      // upload's answer names its item (the feed may show that item first).
      if (previous && (previous->dirty() || !previous->item)) continue;
      const bool contentMoved = previous && previous->item &&
                                previous->item->itemVersion().contentVersion != item->itemVersion().contentVersion;
      const NodePtr placed = table_.placeIn(held, folder, item);
      const fuse_ino_t inode = placed->inode;
      applied.push_back({previous ? RemoteChange::Kind::changed : RemoteChange::Kind::added,
                         table_.pathOf(held, placed), item->itemVersion().contentVersion});
      if (!previous) {
        out.push_back({Invalidation::Kind::entry, folder->inode, name});
      } else if (contentMoved) {
        out.push_back({Invalidation::Kind::contents, inode, {}});
      } else {
        out.push_back({Invalidation::Kind::attributes, inode, {}});
      }
    }
  }
}

void ChangePoller::applyDeletions(const NodeTable::Held& held, const NodePtr& folder, const Changes& changes,
                                  std::vector<Invalidation>& out, std::vector<RemoteChange>& applied) {
  for (const auto& batch : changes.deleted) {
    for (const auto& raw : batch) {
      auto gone = childOf(held, folder, raw);
      if (!gone || gone->dirty()) continue;
      applied.push_back({RemoteChange::Kind::removed, table_.pathOf(held, gone), std::nullopt});
      table_.unlink(held, folder, gone->name());
      table_.forget(held, gone);
      out.push_back({Invalidation::Kind::entry, folder->inode, gone->name()});
    }
  }
}

PollLoop::PollLoop(std::function<void()> round, std::function<bool()> linkReady, std::function<void()> linkBack,
                   std::function<void()> report, std::shared_ptr<HostWatch> watch)
    : round_(std::move(round)),
      linkReady_(std::move(linkReady)),
      linkBack_(std::move(linkBack)),
      report_(std::move(report)),
      watch_(std::move(watch)),
      thread_([this] { run(); }) {
  if (watch_) watch_->add(this);
}

PollLoop::~PollLoop() {
  // First, so that no notice comes in while the loop ends.
  if (watch_) watch_->remove(this);
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void PollLoop::hostStoppedAnswering() {
  {
    std::lock_guard guard(mutex_);
    reportNow_ = true;
  }
  wake_.notify_all();
}

void PollLoop::hostAnswersAgain() {
  {
    std::lock_guard guard(mutex_);
    answersAgain_ = true;
  }
  wake_.notify_all();
}

namespace {

// The processor time this process has used so far.
std::chrono::steady_clock::duration processCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(now.tv_sec) +
                                                                         std::chrono::nanoseconds(now.tv_nsec));
}

}  // namespace

void PollLoop::run() {
  using namespace std::chrono;
  constexpr auto kInterval = seconds(2);
  bool wasReady = false;
  auto next = steady_clock::now();  // the first round at once: it fills the listings
  auto nextReport = next;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const bool ready = linkReady_();
    // A host that answers again after it stopped answering kept its link: the
    // loop may never have seen the link not ready, so it is told.
    const bool cameBack = ready && (!wasReady || answersAgain_);
    answersAgain_ = false;
    wasReady = ready;
    if (cameBack || steady_clock::now() >= next) {
      reportNow_ = false;
      lock.unlock();
      const auto began = processCpuTime();
      // A round that throws is a round missed: the next one asks again.
      (void)foundation::runGuarded("a round of change polling", [&] {
        if (cameBack) linkBack_();
        if (ready) round_();
        report_();
      });
      // A round asks every listed folder once the share moved; on a share of
      // many folders it costs more than the interval, so rounds are spaced to
      // keep the poller to a fifth of one core. What counts is the processor
      // time the round took, not its length: over a slow link to a share
      // elsewhere a round is mostly waiting, and waiting costs nothing. A round
      // the host cut short (gone, or not answering) says nothing of that: the
      // next one comes at the interval, or at once when the host is back.
      const auto took = processCpuTime() - began;
      const bool usable = linkReady_();
      lock.lock();
      next = steady_clock::now() +
             (usable ? std::max<steady_clock::duration>(kInterval, 4 * took) : steady_clock::duration(kInterval));
      nextReport = steady_clock::now() + kInterval;
    } else if (reportNow_ || steady_clock::now() >= nextReport) {
      reportNow_ = false;
      lock.unlock();
      (void)foundation::runGuarded("a status report", [&] { report_(); });
      lock.lock();
      nextReport = steady_clock::now() + kInterval;
    }
    wake_.wait_for(lock, milliseconds(250), [&] { return stopping_ || answersAgain_ || reportNow_; });
  }
}

}  // namespace corvane::framework::mount

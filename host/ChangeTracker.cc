#include "host/ChangeTracker.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/HostError.h"
#include "host/ShareEntries.h"

namespace corvane::host {
namespace {

// Tokens reserved per save of the ceiling: one small write per this many changes.
constexpr std::uint64_t kTokenReserve = 1024;

// A start without usable state begins at the wall clock in microseconds, far
// above any token an earlier run could have reached by counting changes.
std::uint64_t freshTokenBase() {
  auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
  return micros.count() > 0 ? static_cast<std::uint64_t>(micros.count()) : 1;
}

std::string childPrefix(const SharePath& folder) { return folder.isRoot() ? std::string("/") : folder.text() + "/"; }

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

ChangeTracker::ChangeTracker(std::shared_ptr<const ShareRoot> root, HostStateStore& store, std::size_t journalLimit)
    : root_(std::move(root)), store_(store), journal_(0, 0, journalLimit) {}

ChangeTracker::Start ChangeTracker::start() {
  HostStateStore::Loaded loaded = store_.load();
  HostState* saved = loaded.state ? &*loaded.state : nullptr;
  const bool sameRoot = saved && saved->rootPath == root_->path().string() &&
                        saved->rootDevice == static_cast<std::uint64_t>(root_->device()) &&
                        saved->rootInode == static_cast<std::uint64_t>(root_->inode());
  Start outcome;
  if (saved && saved->cleanStop && sameRoot) {
    outcome = Start::resumed;
    journal_.reset(saved->floor, saved->current);
    journal_.restore(std::move(saved->records));
    snapshot_ = std::move(saved->snapshot);
    reconcile(SharePath(), true);
  } else {
    // Nothing trustworthy to compare against: every token handed out before
    // (up to the saved ceiling, or by an unknown earlier run) expires, and the
    // disk as it is now becomes the recorded state without journaling anything.
    outcome = saved ? Start::expired : Start::fresh;
    std::uint64_t base = saved ? saved->ceiling + 1 : freshTokenBase();
    journal_.reset(base, base);
    snapshot_.clear();
    recording_ = false;
    reconcile(SharePath(), true);
    recording_ = true;
  }
  ceiling_ = journal_.current() + kTokenReserve;
  if (!saveCeiling()) {
    std::fprintf(stderr, "corvane host: cannot save change state to %s\n", store_.file().c_str());
  }
  return outcome;
}

void ChangeTracker::reconcile(const SharePath& path, bool deep) {
  if (path.isRoot()) {
    // The top folder itself is never journaled; only its children are.
    scanChildren(path, deep);
    return;
  }
  if (isHostTemporaryName(path.name())) return;
  struct stat st {};
  bool exists = false;
  // An item that cannot be reached any more (a folder on the way became
  // unreadable or now leads outside) counts as gone.
  if (root_->lstat(path, &st, &exists) != 0) exists = false;

  const std::string key = path.text();
  auto it = snapshot_.find(key);
  if (!exists) {
    if (it != snapshot_.end()) removeSubtree(path);
    return;
  }
  const SnapshotEntry now = snapshotFromStat(st);
  if (it != snapshot_.end() && (it->second.isDir != now.isDir || it->second.inode != now.inode)) {
    // Another item took the name (an upload's rename, a folder replaced by a
    // file): the old one and everything below it are gone.
    removeSubtree(path);
    it = snapshot_.end();
  }
  const bool isNew = it == snapshot_.end();
  // A folder's own time moves with every child change; those are journaled as
  // the children's, so only a new folder is news in its parent.
  const bool changed = isNew || (!now.isDir && (it->second.size != now.size || it->second.mtimeNs != now.mtimeNs));
  if (changed) {
    snapshot_[key] = now;
    record(path, HostFsChange::added(entryFromStat(path.name(), st)));
  }
  if (now.isDir && (deep || isNew)) scanChildren(path, deep);
}

void ChangeTracker::scanChildren(const SharePath& folder, bool deep) {
  std::vector<std::string> names;
  int err = readChildNames(*root_, folder, &names);
  if (err != 0 && err != ENOENT && err != ENOTDIR) {
    // Unreadable for now: keep what was recorded rather than report it all gone.
    return;
  }
  for (const std::string& name : names) {
    if (SharePath::isValidName(name)) reconcile(folder.child(name), deep);
  }
  // Recorded children that are no longer listed.
  const std::string prefix = childPrefix(folder);
  std::vector<std::string> gone;
  for (auto it = snapshot_.lower_bound(prefix); it != snapshot_.end() && startsWith(it->first, prefix); ++it) {
    std::string_view rest = std::string_view(it->first).substr(prefix.size());
    if (rest.find('/') != std::string_view::npos) continue;
    if (!std::binary_search(names.begin(), names.end(), rest)) gone.emplace_back(rest);
  }
  for (std::string& name : gone) removeSubtree(folder.child(std::move(name)));
}

void ChangeTracker::removeSubtree(const SharePath& path) {
  const std::string prefix = childPrefix(path);
  auto first = snapshot_.lower_bound(prefix);
  auto last = first;
  while (last != snapshot_.end() && startsWith(last->first, prefix)) ++last;
  // Descendants first, deepest last in key order does not matter to readers:
  // each removal lands in its own folder's journal.
  for (auto it = first; it != last; ++it) {
    auto parsed = SharePath::parse(it->first);
    if (parsed.ok()) record(*parsed, HostFsChange::removed(parsed->name()));
  }
  snapshot_.erase(first, last);
  if (snapshot_.erase(path.text()) > 0) record(path, HostFsChange::removed(path.name()));
}

void ChangeTracker::record(const SharePath& path, HostFsChange change) {
  if (!recording_) return;
  if (journal_.current() + 1 > ceiling_) {
    // Saved before the token is used, so a crash can never hide a token that a
    // client holds: the next start expires everything up to this ceiling.
    ceiling_ = journal_.current() + kTokenReserve;
    if (!saveCeiling()) {
      std::fprintf(stderr, "corvane host: cannot save change state to %s\n", store_.file().c_str());
    }
  }
  journal_.append(path.parent().text(), std::move(change));
}

foundation::Result<HostChangesResult> ChangeTracker::readChanges(const SharePath& folder, std::uint64_t since) const {
  std::optional<std::vector<HostFsChange>> changes = journal_.changesSince(folder.text(), since);
  if (!changes) {
    return vfsError(VfsErrorCode::syncAnchorExpired, "Change token " + std::to_string(since) + " of " + folder.text() +
                                                         " is no longer available; list the folder again");
  }
  return HostChangesResult{std::move(*changes), journal_.current()};
}

HostState ChangeTracker::stateHeader(bool cleanStop) const {
  HostState state;
  state.cleanStop = cleanStop;
  state.current = journal_.current();
  state.floor = journal_.floor();
  state.ceiling = std::max(ceiling_, journal_.current());
  state.rootPath = root_->path().string();
  state.rootDevice = static_cast<std::uint64_t>(root_->device());
  state.rootInode = static_cast<std::uint64_t>(root_->inode());
  return state;
}

bool ChangeTracker::saveCeiling() {
  // While running only the ceiling matters: after a crash nothing else is used.
  if (store_.save(stateHeader(false))) return true;
  // Without a saved ceiling an older clean-stop file would be trusted after a
  // crash; with no file at all the next start expires everything instead.
  store_.discard();
  return false;
}

bool ChangeTracker::saveCleanStop() {
  HostState state = stateHeader(true);
  state.records.assign(journal_.records().begin(), journal_.records().end());
  state.snapshot = snapshot_;
  return store_.save(state);
}

}  // namespace corvane::host

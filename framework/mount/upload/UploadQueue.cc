#include "framework/mount/upload/UploadQueue.h"
#include "framework/mount/common/Warning.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "framework/ItemTemplate.h"
#include "platform/dispatch/Queue.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Guarded.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemIdentifier;
using fileprovider::ItemPtr;
using std::chrono::steady_clock;

// The peer may get over these: it is unreachable, staging failed, its disk is
// full, or a call ran out of time. Everything else the peer said on purpose.
bool retryable(const foundation::Error& error) {
  using namespace fileprovider::ErrorCode;
  if (error.domain() != foundation::kFileProviderErrorDomain) return true;
  return error.code() == serverUnreachable || error.code() == cannotSynchronize || error.code() == insufficientQuota;
}

// A new file waits this long before its upload starts: a program that writes
// a temporary name and renames it at once (rsync, editors, package managers)
// renames it while it is still queued, and it is made once, under the name it
// ends with.
constexpr std::chrono::milliseconds kRenameWindow{100};

std::shared_ptr<ItemTemplate> newFile(const std::string& parent, const std::string& name) {
  return std::make_shared<ItemTemplate>("", parent, name, std::nullopt);
}

// The identifier the peer gives `name` in the folder `parent` of the domain
// `peer` (the domain is the peer's id; its top folder is the root container).
ItemIdentifier childOf(const std::string& peer, const std::string& parent, const std::string& name) {
  if (auto folder = FileProviderItemIdentifierCodec::parse(parent)) {
    return ItemIdentifier(FileProviderItemIdentifierCodec::childIdentifier(folder->peerId, folder->path, name));
  }
  return ItemIdentifier(FileProviderItemIdentifierCodec::identifier(peer, "/" + name));
}

}  // namespace

UploadQueue::Attempt UploadQueue::storedAs(const ItemPtr& item) {
  Attempt out;
  out.outcome = Outcome::stored;
  out.stored = item;
  return out;
}

namespace {

bool sameBytes(int a, int b) {
  std::vector<char> left(1 << 18), right(1 << 18);
  for (off_t at = 0;; at += static_cast<off_t>(left.size())) {
    const ssize_t n = ::pread(a, left.data(), left.size(), at);
    const ssize_t m = ::pread(b, right.data(), right.size(), at);
    if (n < 0 || n != m) return false;
    if (n == 0) return true;
    if (std::memcmp(left.data(), right.data(), static_cast<std::size_t>(n)) != 0) return false;
  }
}

}  // namespace

UploadQueue::UploadQueue(std::string peer, std::shared_ptr<ExtensionCalls> calls,
                         std::unique_ptr<UploadJournal> journal, std::shared_ptr<MaterializedCache> cache)
    : peer_(std::move(peer)), calls_(std::move(calls)), journal_(std::move(journal)), cache_(std::move(cache)) {}

UploadQueue::~UploadQueue() { stopWorker(); }

void UploadQueue::stopWorker() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  work_.notify_all();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
}

void UploadQueue::setListener(Listener* listener) {
  std::lock_guard guard(mutex_);
  listener_ = listener;
}

void UploadQueue::replay() {
  std::unique_lock lock(mutex_);
  for (auto& record : journal_->load()) {
    record.failed = false;  // what stopped it may be mended by now; it is tried once more
    const std::uint64_t sequence = record.sequence;
    Entry entry;
    entry.record = std::move(record);
    schedule_.add(sequence, std::move(entry));
  }
  std::vector<std::uint64_t> order;
  for (const auto& [sequence, entry] : schedule_.entries()) order.push_back(sequence);
  for (std::uint64_t sequence : order) {
    auto found = schedule_.find(sequence);
    if (found != schedule_.end()) runOne(lock, found);
  }
}

void UploadQueue::startWorker() {
  // A small file's upload is mostly round trips, which overlap: a look-up of
  // its name and the create, each waiting on the host's flush of the one
  // before. With four at once, copies of many small files reached the peer a
  // fifth slower than with eight.
  constexpr int kAtOnce = 8;
  for (int i = 0; i < kAtOnce; ++i) {
    workers_.emplace_back([this] {
      // Background work, as the extension's staging is: what a program waits
      // for on the mount goes first.
      dispatch::applyToCurrentThread(dispatch::QualityOfService::utility);
      run();
    });
  }
}

void UploadQueue::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto next = schedule_.next(steady_clock::now());
    if (next.chosen) {
      // Someone else keeps the time meanwhile, and takes the next one due.
      if (!timer_ || next.another) work_.notify_one();
      runOne(lock, *next.chosen);
    } else if (next.soonest && (!timer_ || *next.soonest < *timer_)) {
      // One worker waits for the next upload due, the others until woken:
      // a close then wakes one thread, not every worker.
      timer_ = next.soonest;
      work_.wait_until(lock, *next.soonest);
      if (timer_ == next.soonest) timer_.reset();
    } else {
      work_.wait(lock);
    }
  }
}

void UploadQueue::runOne(std::unique_lock<std::mutex>& lock, UploadSchedule::Position entry) {
  entry->second.inFlight = true;
  entry->second.sendingSinceMs = foundation::currentMilliseconds();
  const Entry copy = entry->second;
  lock.unlock();
  Attempt result;
  // A step that throws leaves the upload queued for another try, not in
  // flight for ever.
  if (!foundation::runGuarded("an upload", [&] { result = attempt(copy); })) {
    result = Attempt{};
    result.outcome = Outcome::retry;
    result.error = "the upload failed unexpectedly";
  }
  finish(copy.record, result);
  lock.lock();
}

UploadQueue::Attempt UploadQueue::failure(const foundation::Error& error) const {
  Attempt out;
  out.outcome = retryable(error) ? Outcome::retry : Outcome::failed;
  out.error = error.localizedDescription();
  out.errorCode = CorvaneFpLog::errorCode(&error);
  out.errorNumber = errnoFor(error);
  return out;
}

UploadQueue::Attempt UploadQueue::attempt(const Entry& entry) {
  const auto data = journal_->dataPath(entry.record);
  if (entry.record.identifier.empty()) return sendNew(entry, data);

  using namespace fileprovider;
  auto peer = calls_->item(ItemIdentifier(entry.record.identifier));
  if (!peer.ok()) {
    if (isFileProviderError(peer.error(), ErrorCode::noSuchItem)) return conflictCopy(entry, data, nullptr);
    return failure(peer.error());
  }
  // Without a base, the contents replace the peer's file whatever it holds,
  // as a rename onto a name does.
  if (entry.record.baseVersion && (*peer)->itemVersion().contentVersion != *entry.record.baseVersion) {
    // Changed on the peer, or stored by this very upload before a crash.
    if (sameContents(*peer, data)) return storedAs(*peer);
    // Or only retagged: a version names the share's epoch too, which moves
    // for every item at once (a host that restarts after an unclean stop).
    // The peer still holding the bytes the edit started from is no edit there.
    auto base =
        entry.record.baseVersion ? cache_->find(entry.record.identifier, *entry.record.baseVersion) : std::nullopt;
    if (!base || !sameContents(*peer, base->get())) return conflictCopy(entry, data, *peer);
  }
  auto modified = calls_->modify(*peer, (*peer)->itemVersion(), ItemField::contents, data);
  if (!modified.ok()) {
    if (isFileProviderError(modified.error(), ErrorCode::noSuchItem)) return conflictCopy(entry, data, nullptr);
    return failure(modified.error());
  }
  return storedAs(asListed(*modified, entry.record.size));
}

// The peer's create replaces whatever holds the name, so a new name is looked
// up first: the item there, null when there is none.
foundation::Result<ItemPtr> UploadQueue::holding(const std::string& parent, const std::string& name) {
  auto there = calls_->item(childOf(peer_, parent, name));
  if (there.ok()) return *there;
  if (isFileProviderError(there.error(), fileprovider::ErrorCode::noSuchItem)) return ItemPtr{};
  return there.error();
}

UploadQueue::Attempt UploadQueue::sendNew(const Entry& entry, const std::filesystem::path& data) {
  using namespace fileprovider;
  const auto& record = entry.record;
  // A file the peer made under the name since this mount listed the folder.
  auto there = holding(record.parentIdentifier, record.name);
  if (!there.ok()) return failure(there.error());
  if (*there) return collided(entry, data, *there);
  auto made =
      calls_->create(newFile(record.parentIdentifier, record.name), ItemField::contents | ItemField::filename, data);
  if (made.ok()) return storedAs(asListed(*made, record.size));
  if (!isFileProviderError(made.error(), ErrorCode::filenameCollision)) {
    Attempt out = failure(made.error());
    out.maybeMade = true;
    return out;
  }
  // The name was taken on the peer meanwhile, or by this very upload before a crash.
  auto listing = calls_->list(ItemIdentifier(record.parentIdentifier));
  if (!listing.ok()) return failure(listing.error());
  ItemPtr existing;
  for (const auto& item : listing->items) {
    if (item->filename() == record.name) existing = item;
  }
  return collided(entry, data, existing);
}

// A new file whose name the peer holds already (absent: held, then gone):
// the same bytes are this upload, landed before a crash; other bytes are the
// peer's own file, which stays, and the local one becomes a conflict copy.
UploadQueue::Attempt UploadQueue::collided(const Entry& entry, const std::filesystem::path& data,
                                           const ItemPtr& existing) {
  if (existing && sameContents(existing, data)) return storedAs(existing);
  return conflictCopy(entry, data, existing);
}

UploadQueue::Attempt UploadQueue::conflictCopy(const Entry& entry, const std::filesystem::path& data,
                                               const ItemPtr& peer) {
  using namespace fileprovider;
  const std::time_t now = std::time(nullptr);
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::string name = conflictName(entry.record.name, now, attempt);
    auto there = holding(entry.record.parentIdentifier, name);
    if (!there.ok()) return failure(there.error());
    if (*there) continue;
    auto made =
        calls_->create(newFile(entry.record.parentIdentifier, name), ItemField::contents | ItemField::filename, data);
    if (made.ok()) {
      Attempt out;
      out.outcome = Outcome::conflicted;
      out.peer = peer;
      out.copy = asListed(*made, entry.record.size);
      return out;
    }
    if (!isFileProviderError(made.error(), ErrorCode::filenameCollision)) return failure(made.error());
  }
  Attempt out;
  out.error = "no free name for a conflict copy of " + entry.record.name;
  out.errorCode = "already_exists";
  return out;
}

// The reply to an upload describes the file as the host's stat right after it
// found it, which is how lookups and listings describe it too. When that stat
// failed, the reply has no size and the current time, so its version is not
// the one lookups give and the next edit's check against the peer would fail
// on it: the peer's own lookup is taken then, when it answers. A version that
// went stale anyway (the share's epoch moved meanwhile) is caught by that
// check's retag test.
ItemPtr UploadQueue::asListed(const ItemPtr& stored, std::uint64_t sentSize) {
  if (stored->documentSize() == sentSize) return stored;
  auto listed = calls_->item(stored->itemIdentifier());
  return listed.ok() ? *listed : stored;
}

bool UploadQueue::sameContents(const ItemPtr& peer, const std::filesystem::path& data) {
  foundation::UniqueFd local(::open(data.c_str(), O_RDONLY | O_CLOEXEC));
  return local.valid() && sameContents(peer, local.get());
}

bool UploadQueue::sameContents(const ItemPtr& peer, int local) {
  struct stat st {};
  if (::fstat(local, &st) != 0) return false;
  if (auto size = peer->documentSize(); size && *size != static_cast<std::uint64_t>(st.st_size)) return false;
  auto cached = cache_->materialise(peer, [&] { return calls_->fetch(peer->itemIdentifier()); });
  return cached.ok() && sameBytes(local, cached->fd.get());
}

void UploadQueue::finish(const PendingUpload& sent, const Attempt& result) {
  const std::uint64_t sequence = sent.sequence;
  const bool landed = result.outcome == Outcome::stored || result.outcome == Outcome::conflicted;
  // The next open reads what was just sent instead of fetching it.
  if (landed) cache_->adopt(landedAs(result), journal_->dataPath(sent));
  std::uint64_t key = 0;
  bool intoCopy = false;
  if (!tell(sequence, result, key, intoCopy)) return;

  PendingUpload record;
  {
    std::lock_guard guard(mutex_);
    auto found = schedule_.find(sequence);
    if (found == schedule_.end()) return;
    found->second.inFlight = false;
    record = found->second.record;
    const bool cancelled = cancelling(key);
    if (landed || cancelled) {
      if (cancelled && landed) files_[key].storedWhileCancelling = landedAs(result);
      if (landed) rebaseLater(found, result, key, intoCopy);
      if (key != 0) files_[key].storedUpTo = std::max(files_[key].storedUpTo, sequence);
      journal_->remove(record);
      schedule_.erase(found);
      if (result.outcome == Outcome::conflicted) conflicts_.push_back({record.path, result.copy->filename()});
    } else {
      found->second.maybeMade = found->second.maybeMade || result.maybeMade;
      record = failedAttempt(found->second, result, key, sequence);
    }
  }
  changed_.notify_all();
  logOutcome(record, result);
}

const ItemPtr& UploadQueue::landedAs(const Attempt& result) {
  return result.outcome == Outcome::stored ? result.stored : result.copy;
}

// The mount hears of it before anyone waiting is woken, so a rename that
// waited for the upload finds the file's new identifier. False when the upload
// is no longer queued.
bool UploadQueue::tell(std::uint64_t sequence, const Attempt& result, std::uint64_t& key, bool& intoCopy) {
  Listener* listener = nullptr;
  bool cancelled = false;
  {
    std::lock_guard guard(mutex_);
    auto found = schedule_.find(sequence);
    if (found == schedule_.end()) return false;
    key = found->second.key;
    intoCopy = found->second.intoCopy;
    cancelled = cancelling(key);
    listener = listener_;
  }
  if (cancelled || key == 0 || !listener) return true;
  if (result.outcome == Outcome::stored) listener->stored(key, sequence, result.stored, intoCopy);
  if (result.outcome == Outcome::conflicted) listener->conflicted(key, sequence, result.peer, result.copy);
  return true;
}

// Later uploads of the same file go on from what this one stored (after a
// conflict, into the copy, where the local contents now live). They are
// rewritten before this record goes, in the order the kernel keeps: a killed
// mount leaves no record based on a version the peer has since left, nor one
// that landed, which would come back as a conflict with itself. The rewrites
// wait for no flush (the journal's flusher covers them and the removal alike),
// so a power cut in that moment may leave either, and the next run keeps both
// sides as for any conflict. Uploads replayed from an earlier run have no key:
// their file is known by where they go. mutex_ held.
void UploadQueue::rebaseLater(UploadSchedule::Position found, const Attempt& result, std::uint64_t key,
                              bool intoCopy) {
  const ItemPtr& went = landedAs(result);
  PendingUpload next;
  next.identifier = went->itemIdentifier().rawValue();
  next.baseVersion = went->itemVersion().contentVersion;
  const bool nextIntoCopy = intoCopy || result.outcome == Outcome::conflicted;
  for (std::uint64_t sequence : schedule_.sameFileAs(found->second)) {
    if (sequence == found->first) continue;
    auto it = schedule_.find(sequence);
    // Earlier uploads of the file still queued are older than what landed.
    if (sequence < found->first && !it->second.inFlight) {
      journal_->remove(it->second.record);
      schedule_.erase(it);
      continue;
    }
    Entry& other = it->second;
    other.record.identifier = next.identifier;
    other.record.baseVersion = next.baseVersion;
    other.record.name = went->filename();
    other.intoCopy = nextIntoCopy;
    (void)journal_->rewrite(other.record);
  }
  if (key == 0) return;
  files_[key].lastStored = std::move(next);
  files_[key].lastIntoCopy = nextIntoCopy;
}

// An attempt that did not land: tried again after a backoff, or kept for good
// when the peer will not take it. mutex_ held; the record as it now stands.
PendingUpload UploadQueue::failedAttempt(Entry& entry, const Attempt& result, std::uint64_t key,
                                         std::uint64_t sequence) {
  ++entry.record.attempts;
  entry.record.lastError = result.error;
  entry.lastErrno = result.errorNumber;
  if (key != 0) {
    ++files_[key].failures;
    files_[key].lastErrno = result.errorNumber;
  }
  if (result.outcome == Outcome::failed) {
    entry.record.failed = true;
    if (key != 0) files_[key].failedUpTo = std::max(files_[key].failedUpTo, sequence);
  } else {
    entry.notBefore = steady_clock::now() + UploadSchedule::backoff(entry.record.attempts);
  }
  (void)journal_->rewrite(entry.record);
  return entry.record;
}

void UploadQueue::logOutcome(const PendingUpload& record, const Attempt& result) const {
  if (result.outcome == Outcome::conflicted) {
    logConflict(record.path + " -> " + result.copy->filename(),
                result.peer ? "changed on the peer" : "deleted on the peer");
  } else if (result.outcome == Outcome::failed) {
    warn({.event = "mount.upload_failed",
          .level = "ERROR",
          .peer = peer_,
          .detail = record.path,
          .errorCode = result.errorCode,
          .retryable = false});
  }
}







int UploadQueue::enqueue(std::uint64_t key, PendingUpload record, bool followsLocal, int fd,
                         const std::filesystem::path& workPath, std::uint64_t& sequence) {
  {
    std::lock_guard guard(mutex_);
    bool intoCopy = false;
    if (auto earlier = schedule_.latestOf(key); earlier != schedule_.end()) {
      record.identifier = earlier->second.record.identifier;
      record.baseVersion = earlier->second.record.baseVersion;
      intoCopy = earlier->second.intoCopy;
    } else if (auto went = files_.find(key); followsLocal && went != files_.end() && went->second.lastStored) {
      record.identifier = went->second.lastStored->identifier;
      record.baseVersion = went->second.lastStored->baseVersion;
      intoCopy = went->second.lastIntoCopy;
    }
    if (auto committed = journal_->commit(record, fd, workPath); !committed.ok()) {
      const auto& error = committed.error();
      return error.domain() == foundation::kPosixErrorDomain ? static_cast<int>(error.code()) : EIO;
    }
    sequence = record.sequence;
    // Only the latest contents of a file are sent; one in flight finishes first,
    // and so does one already tried, which the peer may have taken without its
    // answer arriving: sent again, it finds its own bytes there and lands, so
    // this one's check starts from them.
    dropQueued(key, true);
    const auto notBefore = record.identifier.empty() ? steady_clock::now() + kRenameWindow : steady_clock::time_point{};
    schedule_.add(sequence, Entry{key, std::move(record), notBefore, false, intoCopy});
  }
  changed_.notify_all();
  work_.notify_one();
  if (queued_) queued_();
  return 0;
}

void UploadQueue::claim(std::uint64_t key, const PendingUpload& where) {
  std::lock_guard guard(mutex_);
  schedule_.claim(key, where);
}

std::uint64_t UploadQueue::latest(std::uint64_t key) {
  std::lock_guard guard(mutex_);
  auto found = schedule_.latestOf(key);
  return found == schedule_.end() ? 0 : found->first;
}

int UploadQueue::waitStored(std::uint64_t key, std::uint64_t sequence) {
  std::unique_lock lock(mutex_);
  // The file's uploads go in order, so the one tried next may be an earlier
  // one: a failed attempt of any of them ends the wait.
  const std::uint64_t failuresBefore = files_[key].failures;
  // Someone waits: the file's uploads go now, not after their backoff, also
  // one an earlier run left for it.
  const auto latestOfKey = schedule_.latestOf(key);
  for (auto& [queued, entry] : schedule_.entries()) {
    if (entry.key == key ||
        (latestOfKey != schedule_.end() && entry.key == 0 && UploadSchedule::sameFile(entry, latestOfKey->second))) {
      entry.notBefore = steady_clock::now();
    }
  }
  changed_.notify_all();
  work_.notify_all();
  int answer = 0;
  changed_.wait(lock, [&] {
    // Looked up again each time: the file may be forgotten meanwhile.
    const FileFacts& facts = files_[key];
    if (facts.storedUpTo >= sequence) return true;
    auto latest = schedule_.latestOf(key);
    if (latest == schedule_.end() || latest->first < sequence) return true;  // dropped with its file
    if (facts.failedUpTo >= sequence || stopping_) {
      answer = stopping_ ? EIO : latest->second.lastErrno;
      return true;
    }
    if (facts.failures > failuresBefore) {
      answer = facts.lastErrno;
      return true;
    }
    return false;
  });
  return answer;
}

void UploadQueue::dropQueued(std::uint64_t key, bool keepTried) {
  for (std::uint64_t sequence : schedule_.sequencesOf(key)) {
    auto it = schedule_.find(sequence);
    if (!it->second.inFlight && !(keepTried && it->second.record.attempts > 0)) {
      journal_->remove(it->second.record);
      schedule_.erase(it);
    }
  }
}

foundation::Result<ItemPtr> UploadQueue::madeUnanswered(std::uint64_t key) {
  std::vector<PendingUpload> tried;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !schedule_.anyOf(key, [](const Entry& e) { return e.inFlight; }); });
    for (std::uint64_t sequence : schedule_.sequencesOf(key)) {
      const Entry& entry = schedule_.entries().at(sequence);
      if (entry.maybeMade) tried.push_back(entry.record);
    }
  }
  if (tried.empty()) return ItemPtr{};
  auto there = holding(tried.back().parentIdentifier, tried.back().name);
  if (!there.ok() || !*there) return there;
  for (const auto& record : tried) {
    if (sameContents(*there, journal_->dataPath(record))) return there;
  }
  return ItemPtr{};
}

ItemPtr UploadQueue::cancel(std::uint64_t key) {
  std::unique_lock lock(mutex_);
  FileFacts& facts = files_[key];
  facts.cancelling = true;
  dropQueued(key, false);
  changed_.notify_all();
  changed_.wait(lock, [&] { return schedule_.latestOf(key) == schedule_.end(); });
  // Nothing of the file is left in flight: should its delete then fail, the
  // file stays, and what it sends later is told as for any file.
  facts.cancelling = false;
  return std::exchange(facts.storedWhileCancelling, nullptr);
}

void UploadQueue::moved(std::uint64_t key, const std::string& identifier, const std::string& name,
                        const std::optional<VersionChange>& version) {
  auto rebase = [&](std::optional<foundation::Data>& base) {
    if (version && base == version->first) base = version->second;
  };
  std::lock_guard guard(mutex_);
  if (auto went = files_.find(key); went != files_.end() && went->second.lastStored) {
    if (went->second.lastIntoCopy) return;
    went->second.lastStored->identifier = identifier;
    rebase(went->second.lastStored->baseVersion);
  }
  for (std::uint64_t sequence : schedule_.sequencesOf(key)) {
    Entry& entry = schedule_.entries().at(sequence);
    if (entry.intoCopy || entry.inFlight || entry.record.identifier.empty()) continue;
    entry.record.identifier = identifier;
    entry.record.name = name;
    rebase(entry.record.baseVersion);
    (void)journal_->rewrite(entry.record);
  }
}

bool UploadQueue::retitle(std::uint64_t key, const std::string& name, const std::string& path,
                          const Replaced& replaced) {
  std::lock_guard guard(mutex_);
  if (auto went = files_.find(key); went != files_.end() && went->second.lastStored) return false;
  auto busy = [&](std::uint64_t of) {
    return schedule_.anyOf(of, [](const Entry& e) { return e.inFlight || e.record.attempts > 0; });
  };
  // A close drops what it replaces unless it is in flight or was tried, and
  // either of those rules this out: so there is one upload to rename.
  auto found = schedule_.latestOf(key);
  if (found == schedule_.end() || busy(key) || (replaced.item && busy(replaced.key))) return false;
  if (!found->second.record.identifier.empty() || found->second.intoCopy) return false;
  PendingUpload renamed = found->second.record;
  renamed.name = name;
  renamed.path = path;
  if (replaced.item) {
    // The file it replaces takes these contents, as an edit of the version
    // this mount saw: an editor's save by a temporary name and a rename. When
    // the peer changed that file meanwhile, both are kept, as for any edit.
    renamed.identifier = replaced.item->itemIdentifier().rawValue();
    renamed.baseVersion = replaced.item->itemVersion().contentVersion;
  }
  if (!journal_->rewrite(renamed).ok()) return false;
  found->second.record = std::move(renamed);
  // What was queued for the replaced file is older than what replaced it.
  if (replaced.item) dropQueued(replaced.key, false);
  return true;
}


bool UploadQueue::hold(std::uint64_t key) {
  std::unique_lock lock(mutex_);
  schedule_.hold(key);
  changed_.wait(lock, [&] { return !schedule_.anyOf(key, [](const Entry& e) { return e.inFlight; }); });
  if (!schedule_.anyOf(key, [](const Entry& e) { return e.record.attempts > 0; })) return true;
  schedule_.release(key);
  lock.unlock();
  work_.notify_one();
  return false;
}

void UploadQueue::release(std::uint64_t key) {
  {
    std::lock_guard guard(mutex_);
    schedule_.release(key);
  }
  work_.notify_one();
}

void UploadQueue::forget(std::uint64_t key) {
  std::lock_guard guard(mutex_);
  if (schedule_.latestOf(key) != schedule_.end() || cancelling(key)) return;
  files_.erase(key);
}

bool UploadQueue::cancelling(std::uint64_t key) const {
  auto found = files_.find(key);
  return key != 0 && found != files_.end() && found->second.cancelling;
}

void UploadQueue::wake() {
  {
    std::lock_guard guard(mutex_);
    for (auto& [sequence, entry] : schedule_.entries()) entry.notBefore = {};
  }
  work_.notify_all();
}

std::size_t UploadQueue::drain(std::chrono::milliseconds timeout,
                               const std::function<void(std::size_t left)>& progress) {
  wake();
  const auto deadline = steady_clock::now() + timeout;
  std::optional<steady_clock::time_point> reported;
  std::unique_lock lock(mutex_);
  while (true) {
    const auto waiting = static_cast<std::size_t>(std::count_if(schedule_.entries().begin(), schedule_.entries().end(),
                                                                [](const auto& e) { return !e.second.record.failed; }));
    const auto now = steady_clock::now();
    if (waiting == 0 || now >= deadline) break;
    if (progress && (!reported || now - *reported >= std::chrono::seconds(1))) {
      reported = now;
      lock.unlock();
      progress(waiting);
      lock.lock();
    }
    changed_.wait_until(lock, std::min(deadline, now + std::chrono::seconds(1)));
  }
  return schedule_.entries().size();
}

std::vector<UploadQueue::Queued> UploadQueue::queued() const {
  std::lock_guard guard(mutex_);
  std::vector<Queued> out;
  for (const auto& [sequence, entry] : schedule_.entries()) {
    out.push_back({entry.record, entry.inFlight ? entry.sendingSinceMs : 0});
  }
  return out;
}

std::size_t UploadQueue::pendingCount() const {
  std::lock_guard guard(mutex_);
  return schedule_.entries().size();
}

bool UploadQueue::hasPending(const std::string& identifier) const {
  std::lock_guard guard(mutex_);
  return std::any_of(schedule_.entries().begin(), schedule_.entries().end(),
                     [&](const auto& entry) { return entry.second.record.identifier == identifier; });
}

std::vector<UploadQueue::Conflict> UploadQueue::conflicts() const {
  std::lock_guard guard(mutex_);
  return conflicts_;
}

void UploadQueue::noteConflict(Conflict conflict, std::string_view reason) {
  logConflict(conflict.copy.empty() ? conflict.path : conflict.path + " -> " + conflict.copy, reason);
  std::lock_guard guard(mutex_);
  conflicts_.push_back(std::move(conflict));
}

void UploadQueue::logConflict(const std::string& detail, std::string_view reason) const {
  warn({.event = "mount.conflict_copy", .level = "WARN", .peer = peer_, .detail = detail, .reason = reason});
}

}  // namespace corvane::framework::mount

// UploadQueue: sends closed files to the peer from the journal, keeping only a
// file's latest contents. Uploads start in the order files were closed, a few
// at once (small files are mostly round trips), and a file's one at a time.
//
// Before a changed file is sent, the peer's item is looked up: when its content
// version is not the one the edit was made from (changed or deleted on the
// peer), the peer's file is left as it is and the local contents go beside it as
// a conflict copy; so does a new file renamed onto the peer's before its upload
// went (an editor's save). A new name is looked up first too: the peer's file
// there stays, and the local one goes beside it. A failure the peer may get
// over (unreachable, staging) keeps the upload queued and retried with backoff,
// and at once when the link comes back; any other keeps its contents in the
// journal, marked failed.
//
// A file is named here by its key: the mount's inode of it, which stays the
// file's through renames and uploads (0 for an upload an earlier run left, until
// a file claims it). An upload is named by its sequence number, which orders
// the closes; the records on disk name the peer's item by identifier, or a new
// file by its folder's identifier and its name.
//
// Thread-safe. Uploads run on threads of the queue's own; the listener is
// called from them, with no lock of the queue held.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/upload/ConflictRules.h"
#include "framework/mount/upload/UploadJournal.h"
#include "framework/mount/upload/UploadSchedule.h"

namespace corvane::framework::mount {

class UploadQueue {
 public:
  // What the mount is told, by the key the upload was queued with (never for
  // one replayed from an earlier run, which no node knows). Called from the
  // upload workers with no lock of the queue held.
  class Listener {
   public:
    virtual ~Listener() = default;
    // `intoCopy`: the upload went on into the conflict copy an earlier one made,
    // so the file's own name still shows the peer's file.
    virtual void stored(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& stored,
                        bool intoCopy) = 0;
    // `peer` is absent when the peer's file was deleted.
    virtual void conflicted(std::uint64_t key, std::uint64_t sequence, const fileprovider::ItemPtr& peer,
                            const fileprovider::ItemPtr& copy) = 0;
  };

  struct Conflict {
    std::string path;  // the file that was edited on both sides
    std::string copy;  // the name its local contents got
  };

  // `peer` names the peer in the event log's records.
  UploadQueue(std::string peer, std::shared_ptr<ExtensionCalls> calls, std::unique_ptr<UploadJournal> journal,
              std::shared_ptr<MaterializedCache> cache);
  ~UploadQueue();  // stops the worker; what is queued stays in the journal

  UploadJournal& journal() { return *journal_; }
  // Set before the workers start; taken away (null) only once they stopped.
  void setListener(Listener* listener);
  // Called, with no lock held, after each close's contents joined the queue:
  // the status file tells it at once, not at the next round. Set before use.
  void onQueued(std::function<void()> queued) { queued_ = std::move(queued); }

  // Sends what an earlier run left, each once and in order, before the mount is
  // ready. What could not be sent stays queued for the worker.
  void replay();
  void startWorker();
  // Stops the workers after the uploads in flight; no listener call comes after.
  void stopWorker();

  // Queues the contents at `fd` (the open file at `workPath`, which the journal
  // takes) as the latest of the file `key`. The record's identifier and base
  // version are those of an upload of the same file still queued, when there
  // is one. 0 and the sequence number, or an errno.
  // `followsLocal` says the contents were made from an earlier upload of the
  // file still in the queue when they were copied, so they go on from wherever
  // that one went.
  int enqueue(std::uint64_t key, PendingUpload record, bool followsLocal, int fd, const std::filesystem::path& workPath,
              std::uint64_t& sequence);
  // Uploads an earlier run left for the file that `where` names (by its
  // identifier, or for a new file by its folder and name) are the file `key`'s
  // from now on: waits, renames and deletes of the file take them in.
  void claim(std::uint64_t key, const PendingUpload& where);
  // The latest upload of `key` still queued (failed ones too), 0 for none.
  std::uint64_t latest(std::uint64_t key);
  // Waits until `sequence` of `key` (or a later upload of it) is on the peer: 0.
  // EIO when it failed for good, or when an attempt made during the wait failed
  // (it stays queued): fsync never hangs on a peer that is gone.
  int waitStored(std::uint64_t key, std::uint64_t sequence);
  // Drops what is queued for `key` (a file never stored on the peer was
  // deleted), after waiting out an upload in flight. The item that upload made,
  // if it made one, for the caller to delete.
  fileprovider::ItemPtr cancel(std::uint64_t key);
  // Before such a cancel: an upload of a new file tried without an answer (the
  // host gone mid-call) may have made the file on the peer all the same. Once
  // nothing of `key` is in flight, the file the peer holds under its name when
  // its bytes are those of such an attempt; null when none was tried, none is
  // there, or the one there is someone else's; the error when the peer cannot
  // be asked (the delete cannot tell what it would leave behind).
  foundation::Result<fileprovider::ItemPtr> madeUnanswered(std::uint64_t key);
  // The file `key` now has `identifier` and `name` on the peer (it or a folder
  // above it was renamed): what is queued for it, and an edit that goes on from
  // its last upload, go there. A content version names the path, so a rename
  // changes it: `version`, when the caller knows it, is {before, after}, and an
  // edit based on the one before is based on the one after. Uploads that go
  // into a conflict copy stay.
  using VersionChange = std::pair<foundation::Data, foundation::Data>;
  void moved(std::uint64_t key, const std::string& identifier, const std::string& name,
             const std::optional<VersionChange>& version);
  // A file that has not reached the peer is renamed where its uploads wait:
  // they create it under `name` (`path` for the log), or, renamed onto the
  // peer's file `replaced.item` (the file `replaced.key` here), store its
  // contents as that file's, and what was queued for that one goes. False when
  // an upload of either is on its way or was tried (the peer may hold the old
  // name by now), or when nothing is queued for `key`.
  struct Replaced {
    std::uint64_t key = 0;
    fileprovider::ItemPtr item;
  };
  bool retitle(std::uint64_t key, const std::string& name, const std::string& path, const Replaced& replaced);
  // Keeps the file's queued uploads from starting, once the one in flight has
  // ended, until `release`: a rename goes to the peer between its uploads.
  // False, holding nothing, when one of them was tried: the peer may have
  // taken it without its answer arriving, so it has to land first.
  bool hold(std::uint64_t key);
  void release(std::uint64_t key);
  // Releases a hold when it goes.
  class Held {
   public:
    Held(UploadQueue& uploads, std::uint64_t key) : uploads_(uploads), key_(key) {}
    ~Held() { uploads_.release(key_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    UploadQueue& uploads_;
    const std::uint64_t key_;
  };
  // The file `key` is gone from the mount: what is kept of it goes too, unless
  // something of it is still queued.
  void forget(std::uint64_t key);
  // The link is back: retry now.
  void wake();

  // Waits until nothing is queued or `timeout` passes, calling `progress` about
  // once a second. The count still queued (failed ones included).
  std::size_t drain(std::chrono::milliseconds timeout, const std::function<void(std::size_t left)>& progress);

  struct Queued {
    PendingUpload record;
    std::int64_t sendingSinceMs = 0;  // wall clock; 0 while it waits its turn
  };
  std::vector<Queued> queued() const;
  std::size_t pendingCount() const;
  // Whether an upload of the file the peer knows as `identifier` is still due.
  bool hasPending(const std::string& identifier) const;
  std::vector<Conflict> conflicts() const;
  // A conflict met outside an upload (a rename or delete here of a file the
  // peer changed): told like an upload's, in the log and in `status`. `copy`
  // is empty when no copy was needed.
  void noteConflict(Conflict conflict, std::string_view reason);

 private:
  using Entry = UploadSchedule::Entry;
  enum class Outcome { stored, conflicted, retry, failed };
  struct Attempt {
    Outcome outcome = Outcome::failed;
    fileprovider::ItemPtr stored;  // stored: the item now on the peer
    fileprovider::ItemPtr peer;    // conflicted: the peer's file, absent when it was deleted
    fileprovider::ItemPtr copy;    // conflicted: where the local contents went
    std::string error;
    std::string errorCode = "io";  // the error in the log's taxonomy
    int errorNumber = EIO;
    bool maybeMade = false;  // a create was sent and not answered: the peer may hold the file
  };

  static Attempt storedAs(const fileprovider::ItemPtr& item);
  void run();
  Attempt attempt(const Entry& entry);
  foundation::Result<fileprovider::ItemPtr> holding(const std::string& parent, const std::string& name);
  Attempt sendNew(const Entry& entry, const std::filesystem::path& data);
  Attempt collided(const Entry& entry, const std::filesystem::path& data, const fileprovider::ItemPtr& existing);
  Attempt conflictCopy(const Entry& entry, const std::filesystem::path& data, const fileprovider::ItemPtr& peer);
  Attempt failure(const foundation::Error& error) const;
  bool sameContents(const fileprovider::ItemPtr& peer, const std::filesystem::path& data);
  bool sameContents(const fileprovider::ItemPtr& peer, int local);
  fileprovider::ItemPtr asListed(const fileprovider::ItemPtr& stored, std::uint64_t sentSize);
  void finish(const PendingUpload& sent, const Attempt& result);
  static const fileprovider::ItemPtr& landedAs(const Attempt& result);
  bool tell(std::uint64_t sequence, const Attempt& result, std::uint64_t& key, bool& intoCopy);
  void rebaseLater(UploadSchedule::Position found, const Attempt& result, std::uint64_t key,
                   bool intoCopy);  // mutex_ held
  PendingUpload failedAttempt(Entry& entry, const Attempt& result, std::uint64_t key,
                              std::uint64_t sequence);  // mutex_ held
  void logOutcome(const PendingUpload& record, const Attempt& result) const;
  void logConflict(const std::string& detail, std::string_view reason) const;
  void runOne(std::unique_lock<std::mutex>& lock, UploadSchedule::Position entry);
  // mutex_ held; one in flight stays, and with `keepTried` one that was tried.
  void dropQueued(std::uint64_t key, bool keepTried);

  const std::string peer_;
  const std::shared_ptr<ExtensionCalls> calls_;
  const std::unique_ptr<UploadJournal> journal_;
  const std::shared_ptr<MaterializedCache> cache_;

  mutable std::mutex mutex_;  // guards everything below and the journal
  std::condition_variable changed_;  // an upload ended or was dropped: for those waiting on one
  // An upload may be due: for the workers. One is told of a close, not all.
  std::condition_variable work_;
  std::optional<std::chrono::steady_clock::time_point> timer_;  // when the worker that keeps the time wakes
  Listener* listener_ = nullptr;
  std::function<void()> queued_;
  UploadSchedule schedule_;  // what is queued, in the order it goes
  // What the queue knows of one file beyond its queued uploads, kept until
  // the mount forgets the file.
  struct FileFacts {
    std::uint64_t storedUpTo = 0;  // every upload up to this one is on the peer
    std::uint64_t failedUpTo = 0;  // an upload up to this one failed for good
    std::uint64_t failures = 0;    // attempts that failed, of any upload of the file
    int lastErrno = EIO;           // the last of them
    std::optional<PendingUpload> lastStored;  // where its last stored upload went
    bool lastIntoCopy = false;                // that was a conflict copy
    bool cancelling = false;                  // a cancel waits for its uploads in flight
    fileprovider::ItemPtr storedWhileCancelling;  // the item one of those made
  };
  std::map<std::uint64_t, FileFacts> files_;  // by key
  bool cancelling(std::uint64_t key) const;
  std::vector<Conflict> conflicts_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace corvane::framework::mount

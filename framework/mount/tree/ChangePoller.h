// ChangePoller: brings the folder listings up to date with what changed on the
// peer's side, through change enumeration from each folder's sync anchor, and
// tells the kernel and `corvane-fp watch` what it applied. One working-set
// request a round tells whether the share moved at all, so a quiet share costs
// one request. The first round is the preload of every listing instead.
//
// round() is called from one thread only (the poll loop); the rest of the mount
// runs beside it, through the table's mutex.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/mount/service/ExtensionCalls.h"
#include "framework/mount/service/HostWatch.h"
#include "framework/mount/tree/FolderListings.h"
#include "framework/mount/tree/Invalidations.h"
#include "framework/mount/tree/NodeTable.h"

namespace corvane::framework::mount {

// A change made on the peer's side that the poller applied, for `corvane-fp watch`:
// inotify never hears of those.
struct RemoteChange {
  enum class Kind { added, changed, removed } kind;
  std::string path;                                // in the mount
  std::optional<foundation::Data> contentVersion;  // absent for a removal
};
using RemoteChangeSink = std::function<void(const std::vector<RemoteChange>&)>;

class ChangePoller {
 public:
  ChangePoller(std::shared_ptr<ExtensionCalls> calls, NodeTable& table, FolderListings& listings,
               Invalidations& invalidations);

  void setRemoteChangeSink(RemoteChangeSink sink);
  void round();

 private:
  // Drops what the table holds already as the feed says it.
  void dropKnown(const NodePtr& folder, Changes& changes);
  // What a feed's item or deletion meets in the folder.
  NodePtr childNamed(const NodeTable::Held& held, const NodePtr& folder, const std::string& name) const;
  static bool heldAlready(const NodePtr& child, const fileprovider::ItemPtr& item);  // the table has it at that version
  NodePtr childOf(const NodeTable::Held& held, const NodePtr& folder,
                  const std::string& raw) const;  // by identifier; none elsewhere
  // Drops what the feed says and the peer no longer agrees with.
  void confirm(Changes& changes);
  // A folder's feed as read from the peer, with what the table said when it
  // was asked for.
  struct FeedRead {
    fileprovider::ItemIdentifier identifier{""};
    std::uint64_t asked = 0;  // the table's count of changes made here
    foundation::Result<Changes> changes{Changes{}};
  };
  FeedRead readFeed(const NodePtr& folder);
  // False when the folder must be asked again next round, whatever the share
  // does meanwhile: its feed was read across a change made here and set
  // aside, or the peer could not be asked.
  bool applyFeed(const NodePtr& folder, FeedRead& read, std::vector<Invalidation>& invalidations,
                 std::vector<RemoteChange>& applied);
  // A folder the kernel knows whose listing went (the peer forgot its anchor,
  // or it was renamed) is listed again now, not when next asked for: the
  // kernel keeps its entries and may never ask. False as for pollFolder.
  bool listAgain(const NodePtr& folder, std::vector<Invalidation>& out, std::vector<RemoteChange>& applied);
  void applyUpdates(const NodeTable::Held& held, const NodePtr& folder, const Changes& changes,
                    std::vector<Invalidation>& out, std::vector<RemoteChange>& applied);
  void applyDeletions(const NodeTable::Held& held, const NodePtr& folder, const Changes& changes,
                      std::vector<Invalidation>& out, std::vector<RemoteChange>& applied);

  const std::shared_ptr<ExtensionCalls> calls_;
  NodeTable& table_;
  FolderListings& listings_;
  Invalidations& invalidations_;
  std::mutex sinkMutex_;  // guards changeSink_
  RemoteChangeSink changeSink_;
  // Touched by round() alone.
  std::optional<fileprovider::SyncAnchor> workingSetAnchor_;
  bool preloaded_ = false;
};

// The poller's thread: a round every 2 s (spaced out on a share so large that a
// round takes longer), and at once when the host link comes back or the host
// answers again after it stopped answering, which also sends the queued uploads
// at once. `report` runs after each round, and at least every 2 s between them,
// so the status file follows uploads and the link whatever the rounds' spacing;
// at once, too, when the host stops answering.
class PollLoop final : public HostWatch::Observer {
 public:
  // `watch` (may be null) tells the loop when the host stops answering and
  // answers again; `linkReady` must be false meanwhile.
  PollLoop(std::function<void()> round, std::function<bool()> linkReady, std::function<void()> linkBack,
           std::function<void()> report, std::shared_ptr<HostWatch> watch = nullptr);
  ~PollLoop() override;  // after the round in progress
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  // HostWatch::Observer; any thread.
  void hostStoppedAnswering() override;
  void hostAnswersAgain() override;

 private:
  void run();

  const std::function<void()> round_;
  const std::function<bool()> linkReady_;
  const std::function<void()> linkBack_;
  const std::function<void()> report_;
  const std::shared_ptr<HostWatch> watch_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  bool stopping_ = false;
  bool answersAgain_ = false;  // the host answers again: a round with the link's return, now
  bool reportNow_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace corvane::framework::mount

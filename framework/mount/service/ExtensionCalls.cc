#include "framework/mount/service/ExtensionCalls.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>

#include "platform/fileprovider/Errors.h"

namespace corvane::framework::mount {

namespace {

using fileprovider::ItemPtr;
using foundation::Error;
using foundation::Result;

constexpr const char* kMountErrorDomain = "corvane.mount";

Error mountError(int code, const std::string& what) {
  return Error(kMountErrorDomain, code, foundation::UserInfo{{foundation::kLocalizedDescriptionKey, what}});
}

// What the rest of the mount already does for a host that is gone (EIO for a
// kernel request, a retry for an upload, the next round for the poller) is
// right for one that stopped answering too.
Error unresponsiveHost(const char* what) {
  return Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::serverUnreachable,
               foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                     std::string("corvane-vfs-host is not answering; ") + what + " was not answered"}});
}

// Whether the peer may have made a change whose call ended with `error`: the
// request went out and no answer came back (a link that broke under it, a host
// found unresponsive, a call out of time).
bool outcomeUnknown(const Error& error) {
  if (error.domain() == kMountErrorDomain) return error.code() == ETIMEDOUT;
  return error.domain() == foundation::kFileProviderErrorDomain &&
         error.code() == fileprovider::ErrorCode::serverUnreachable;
}

}  // namespace

// Every call's wait, so that a stop can end them all at once, and so can a host
// found unresponsive. Each wait has a condition of its own: an answer wakes the
// one thread that asked for it, not every upload worker and request handler
// waiting on another.
struct ExtensionCalls::Gate final : HostWatch::Observer {
  void hostStoppedAnswering() override {
    std::lock_guard guard(mutex);
    for (auto* waiter : waiting) waiter->notify_all();
  }
  void hostAnswersAgain() override {}

  std::mutex mutex;  // guards what follows and every Answer's value
  std::set<std::condition_variable*> waiting;
  bool abandoned = false;
};

namespace {

using Gate = ExtensionCalls::Gate;

// One completion's value, handed from the extension's thread to the waiting one.
// Shared, so that a completion arriving after the wait gave up lands harmlessly.
template <typename T>
class Answer {
 public:
  explicit Answer(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}

  // The extension answers each request once; a second answer is a bug there,
  // which debug builds stop at, as its own completions do.
  void set(T value) {
    {
      std::lock_guard guard(gate_->mutex);
      if (answered_) {
#ifndef NDEBUG
        std::fprintf(stderr, "corvane-fp: the extension answered a request a second time\n");
        std::abort();
#endif
        return;
      }
      answered_ = true;
      value_ = std::move(value);
    }
    // After the unlock, so the waiter does not wake only to wait for the lock;
    // the completion calling this holds the answer alive.
    arrived_.notify_one();
  }

  // The value; absent when the calls were abandoned, the host was found
  // unresponsive, or the deadline passed with no sign of the host at work
  // (a ping it answered meanwhile) first.
  std::optional<T> wait(std::chrono::milliseconds deadline, const HostWatch* watch) {
    std::unique_lock lock(gate_->mutex);
    gate_->waiting.insert(&arrived_);
    auto ends = [&] { return value_.has_value() || gate_->abandoned || (watch && !watch->answering()); };
    // A large download may take far longer than the deadline; while the host
    // answers its pings, the call is not cut.
    bool ended;
    do {
      ended = arrived_.wait_for(lock, deadline, ends);
    } while (!ended && watch && watch->answeredWithin(deadline));
    gate_->waiting.erase(&arrived_);
    return std::move(value_);
  }

  bool abandoned() const {
    std::lock_guard guard(gate_->mutex);
    return gate_->abandoned;
  }

 private:
  const std::shared_ptr<Gate> gate_;
  std::condition_variable arrived_;
  std::optional<T> value_;
  bool answered_ = false;
};

template <typename T>
using AnswerPtr = std::shared_ptr<Answer<T>>;

template <typename T>
AnswerPtr<T> answerOn(const std::shared_ptr<Gate>& gate) {
  return std::make_shared<Answer<T>>(gate);
}

// The answer, or why none came: the watch counts the wait as one on the host.
template <typename T>
std::optional<T> awaitAnswer(const AnswerPtr<T>& answer, std::chrono::milliseconds deadline,
                             const std::shared_ptr<HostWatch>& watch) {
  HostWatch::Waiting waiting(watch);
  return answer->wait(deadline, watch.get());
}

template <typename T>
Result<T> waitFor(const AnswerPtr<Result<T>>& answer, std::chrono::milliseconds deadline,
                  const std::shared_ptr<HostWatch>& watch, const char* what) {
  auto value = awaitAnswer(answer, deadline, watch);
  if (value) return std::move(*value);
  if (answer->abandoned()) return mountError(ECANCELED, std::string(what) + " abandoned: the mount is stopping");
  if (watch && !watch->answering()) return unresponsiveHost(what);
  return mountError(ETIMEDOUT,
                    std::string("no answer to ") + what + " within " + std::to_string(deadline.count() / 1000) + " s");
}

Result<ItemPtr> itemOrError(ItemPtr item, const std::optional<Error>& error, const char* what) {
  if (error) return *error;
  if (!item) return mountError(EIO, std::string(what) + " answered with no item");
  return item;
}

}  // namespace

ExtensionCalls::ExtensionCalls(fileprovider::ReplicatedExtensionPtr extension, std::chrono::milliseconds deadline,
                               std::shared_ptr<HostWatch> watch)
    : extension_(std::move(extension)), deadline_(deadline), watch_(std::move(watch)), gate_(std::make_shared<Gate>()) {
  if (watch_) watch_->add(gate_.get());
}

ExtensionCalls::~ExtensionCalls() {
  if (watch_) watch_->remove(gate_.get());
}

// Sent now, a request would reach the host when it resumes, however long
// after its caller was told it failed: it is not sent at all.
std::optional<Error> ExtensionCalls::refusedWhileUnresponsive(const char* what) const {
  if (watch_ && !watch_->answering()) return unresponsiveHost(what);
  return std::nullopt;
}

void ExtensionCalls::noteIfUnanswered(const std::optional<Error>& outcome, UnansweredChange change) {
  if (!outcome || !outcomeUnknown(*outcome)) return;
  std::lock_guard guard(unansweredMutex_);
  if (std::find(unanswered_.begin(), unanswered_.end(), change) == unanswered_.end()) {
    unanswered_.push_back(std::move(change));
  }
}

std::vector<UnansweredChange> ExtensionCalls::takeUnanswered() {
  std::lock_guard guard(unansweredMutex_);
  return std::exchange(unanswered_, {});
}

void ExtensionCalls::abandonAll() {
  {
    std::lock_guard guard(gate_->mutex);
    gate_->abandoned = true;
    for (auto* waiter : gate_->waiting) waiter->notify_all();
  }
}

Result<ItemPtr> ExtensionCalls::item(const fileprovider::ItemIdentifier& identifier) {
  if (auto refused = refusedWhileUnresponsive("item(for:)")) return *refused;
  auto answer = answerOn<Result<ItemPtr>>(gate_);
  extension_->item(identifier, {}, [answer](ItemPtr item, std::optional<Error> error) {
    answer->set(itemOrError(std::move(item), error, "item(for:)"));
  });
  return waitFor(answer, deadline_, watch_, "item(for:)");
}

Result<std::shared_ptr<fileprovider::Enumerator>> ExtensionCalls::enumerator(
    const fileprovider::ItemIdentifier& folder) {
  return extension_->enumerator(folder, {});
}

Result<FolderListing> ExtensionCalls::list(const fileprovider::ItemIdentifier& folder) {
  if (auto refused = refusedWhileUnresponsive("enumerateItems")) return *refused;
  auto made = enumerator(folder);
  if (!made.ok()) return made.error();
  auto enumerator = *made;

  // Both asked at once: the host serves a connection in order, so the anchor
  // still comes from before the listing, and a folder costs one round trip instead of two.
  auto anchor = answerOn<std::optional<fileprovider::SyncAnchor>>(gate_);
  enumerator->currentSyncAnchor([anchor](std::optional<fileprovider::SyncAnchor> value) { anchor->set(value); });

  auto answer = answerOn<Result<FolderListing>>(gate_);
  enumerator->enumerateItems(std::make_shared<CollectingEnumerationObserver>([answer](const char*, Listing listing) {
                               if (listing.error) return answer->set(*listing.error);
                               FolderListing out;
                               for (auto& batch : listing.batches) {
                                 for (auto& item : batch) out.items.push_back(std::move(item));
                               }
                               answer->set(std::move(out));
                             }),
                             fileprovider::Page{});
  auto listed = waitFor(answer, deadline_, watch_, "enumerateItems");
  // A listing that failed has no use for its anchor, and one that ran out of
  // time must not wait a second deadline for it.
  if (listed.ok()) {
    if (auto current = awaitAnswer(anchor, deadline_, watch_)) listed->anchor = *current;
  }
  enumerator->invalidate();
  return listed;
}

std::optional<fileprovider::SyncAnchor> ExtensionCalls::currentAnchor(const fileprovider::ItemIdentifier& container) {
  if (refusedWhileUnresponsive("currentSyncAnchor")) return std::nullopt;
  auto made = enumerator(container);
  if (!made.ok()) return std::nullopt;
  auto anchor = answerOn<std::optional<fileprovider::SyncAnchor>>(gate_);
  (*made)->currentSyncAnchor([anchor](std::optional<fileprovider::SyncAnchor> value) { anchor->set(value); });
  auto current = awaitAnswer(anchor, deadline_, watch_);
  (*made)->invalidate();
  return current ? *current : std::nullopt;
}

Result<Changes> ExtensionCalls::changes(const fileprovider::ItemIdentifier& folder,
                                        const fileprovider::SyncAnchor& anchor) {
  if (auto refused = refusedWhileUnresponsive("enumerateChanges")) return *refused;
  auto made = enumerator(folder);
  if (!made.ok()) return made.error();
  auto answer = answerOn<Result<Changes>>(gate_);
  (*made)->enumerateChanges(std::make_shared<CollectingChangeObserver>([answer](const char*, Changes changes) {
                              if (changes.error) return answer->set(*changes.error);
                              answer->set(std::move(changes));
                            }),
                            anchor);
  auto result = waitFor(answer, deadline_, watch_, "enumerateChanges");
  (*made)->invalidate();
  return result;
}

Result<Fetched> ExtensionCalls::fetch(const fileprovider::ItemIdentifier& identifier) {
  if (auto refused = refusedWhileUnresponsive("fetchContents")) return *refused;
  auto answer = answerOn<Result<Fetched>>(gate_);
  extension_->fetchContents(
      identifier, std::nullopt, {},
      [answer](std::optional<std::filesystem::path> contents, ItemPtr item, std::optional<Error> error) {
        if (error) return answer->set(*error);
        if (!contents) return answer->set(mountError(EIO, "fetchContents answered with no file"));
        answer->set(Fetched{std::move(*contents), std::move(item)});
      });
  return waitFor(answer, deadline_, watch_, "fetchContents");
}

Result<ItemPtr> ExtensionCalls::create(ItemPtr itemTemplate, fileprovider::ItemFields fields,
                                       const std::optional<std::filesystem::path>& contents) {
  if (auto refused = refusedWhileUnresponsive("createItem")) return *refused;
  UnansweredChange change{itemTemplate->parentItemIdentifier(), fileprovider::ItemIdentifier(""),
                          itemTemplate->filename()};
  auto answer = answerOn<Result<ItemPtr>>(gate_);
  extension_->createItem(std::move(itemTemplate), fields, contents, 0, {},
                         [answer](ItemPtr item, fileprovider::ItemFields, bool, std::optional<Error> error) {
                           answer->set(itemOrError(std::move(item), error, "createItem"));
                         });
  auto made = waitFor(answer, deadline_, watch_, "createItem");
  if (!made.ok()) noteIfUnanswered(made.error(), std::move(change));
  return made;
}

Result<ItemPtr> ExtensionCalls::modify(ItemPtr item, const fileprovider::ItemVersion& base,
                                       fileprovider::ItemFields fields,
                                       const std::optional<std::filesystem::path>& contents) {
  if (auto refused = refusedWhileUnresponsive("modifyItem")) return *refused;
  UnansweredChange change{item->parentItemIdentifier(), item->itemIdentifier(), item->filename()};
  auto answer = answerOn<Result<ItemPtr>>(gate_);
  extension_->modifyItem(std::move(item), base, fields, contents, 0, {},
                         [answer](ItemPtr changed, fileprovider::ItemFields, bool, std::optional<Error> error) {
                           answer->set(itemOrError(std::move(changed), error, "modifyItem"));
                         });
  auto modified = waitFor(answer, deadline_, watch_, "modifyItem");
  if (!modified.ok()) noteIfUnanswered(modified.error(), std::move(change));
  return modified;
}

foundation::Status ExtensionCalls::remove(const fileprovider::ItemIdentifier& identifier,
                                          const fileprovider::ItemVersion& base) {
  if (auto refused = refusedWhileUnresponsive("deleteItem")) return *refused;
  auto answer = answerOn<foundation::Status>(gate_);
  extension_->deleteItem(identifier, base, 0, {}, [answer](std::optional<Error> error) {
    answer->set(error ? foundation::Status(*error) : foundation::Status(foundation::Ok{}));
  });
  auto removed = waitFor(answer, deadline_, watch_, "deleteItem");
  if (!removed.ok()) noteIfUnanswered(removed.error(), {fileprovider::ItemIdentifier(""), identifier, ""});
  return removed;
}

void ExtensionCalls::importDidFinish() {
  extension_->importDidFinish([] {});
}

int errnoFor(const foundation::Error& error) {
  if (error.domain() == foundation::kFileProviderErrorDomain) {
    using namespace fileprovider::ErrorCode;
    switch (error.code()) {
      case noSuchItem:
        return ENOENT;
      case filenameCollision:
        return EEXIST;
      case insufficientQuota:
        return ENOSPC;
      case directoryNotEmpty:
        return ENOTEMPTY;
      default:
        return EIO;
    }
  }
  return EIO;
}

}  // namespace corvane::framework::mount

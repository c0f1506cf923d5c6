// Observers that collect what one enumeration reports and hand the whole of it to
// a finish function when the extension finishes. Every framework-side caller of
// enumerateItems and enumerateChanges (the script runner, the mount, tests) uses
// these, so a listing is read one way everywhere.
//
// Thread-safe: the extension calls them on its host connection's queue. The finish
// function runs once per finishing call, with the name of the call that finished
// ("finishEnumeratingUpToPage", ...); callers that must notice a second finish do
// so there.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/Enumeration.h"

namespace corvane::framework {

struct Listing {
  std::vector<std::vector<fileprovider::ItemPtr>> batches;  // one per didEnumerateItems
  std::optional<foundation::Error> error;                   // absent: finished up to no page
};

struct Changes {
  std::vector<std::vector<fileprovider::ItemPtr>> updated;  // one per didUpdateItems
  std::vector<std::vector<std::string>> deleted;            // raw identifiers, one per didDelete...
  std::vector<std::string> calls;                           // "update" / "delete", in the order they came
  std::optional<fileprovider::SyncAnchor> anchor;
  bool moreComing = false;
  std::optional<foundation::Error> error;
};

class CollectingEnumerationObserver : public fileprovider::EnumerationObserver {
 public:
  using Finish = std::function<void(const char* finishedBy, Listing listing)>;
  explicit CollectingEnumerationObserver(Finish finish) : finish_(std::move(finish)) {}

  void didEnumerateItems(std::vector<fileprovider::ItemPtr> items) override;
  // The extension never pages, so a next page is not followed.
  void finishEnumeratingUpToPage(std::optional<fileprovider::Page>) override;
  void finishEnumeratingWithError(foundation::Error error) override;

 private:
  Listing snapshot();

  const Finish finish_;
  std::mutex mutex_;  // guards listing_
  Listing listing_;
};

class CollectingChangeObserver : public fileprovider::ChangeObserver {
 public:
  using Finish = std::function<void(const char* finishedBy, Changes changes)>;
  explicit CollectingChangeObserver(Finish finish) : finish_(std::move(finish)) {}

  void didUpdateItems(std::vector<fileprovider::ItemPtr> items) override;
  void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> identifiers) override;
  void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor, bool moreComing) override;
  void finishEnumeratingWithError(foundation::Error error) override;

 private:
  Changes snapshot();

  const Finish finish_;
  std::mutex mutex_;  // guards changes_
  Changes changes_;
};

}  // namespace corvane::framework

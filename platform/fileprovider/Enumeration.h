// The framework's enumeration interfaces (NSFileProviderEnumerator and its two
// observers) and the opaque values that travel through them. Observers may be
// called from any thread; each enumeration ends with exactly one finish call.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/fileprovider/Item.h"
#include "platform/foundation/Error.h"

namespace fileprovider {

// NSFileProviderSyncAnchor and NSFileProviderPage: opaque bytes to the framework.
struct SyncAnchor {
  foundation::Data rawValue;
  friend bool operator==(const SyncAnchor&, const SyncAnchor&) = default;
};
struct Page {
  foundation::Data rawValue;
  friend bool operator==(const Page&, const Page&) = default;
};

class EnumerationObserver {
 public:
  virtual ~EnumerationObserver() = default;
  virtual void didEnumerateItems(std::vector<ItemPtr> items) = 0;
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(foundation::Error error) = 0;
};

class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void didUpdateItems(std::vector<ItemPtr> items) = 0;
  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(foundation::Error error) = 0;
};

class Enumerator {
 public:
  virtual ~Enumerator() = default;
  virtual void invalidate() = 0;
  virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page startingAt) = 0;
  virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor from) = 0;
  virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completionHandler) = 0;
};

}  // namespace fileprovider

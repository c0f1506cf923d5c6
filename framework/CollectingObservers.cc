#include "framework/CollectingObservers.h"

#include <utility>

namespace corvane::framework {

void CollectingEnumerationObserver::didEnumerateItems(std::vector<fileprovider::ItemPtr> items) {
  std::lock_guard guard(mutex_);
  listing_.batches.push_back(std::move(items));
}

void CollectingEnumerationObserver::finishEnumeratingUpToPage(std::optional<fileprovider::Page>) {
  finish_("finishEnumeratingUpToPage", snapshot());
}

void CollectingEnumerationObserver::finishEnumeratingWithError(foundation::Error error) {
  Listing listing = snapshot();
  listing.error = std::move(error);
  finish_("finishEnumeratingWithError", std::move(listing));
}

Listing CollectingEnumerationObserver::snapshot() {
  std::lock_guard guard(mutex_);
  return listing_;
}

void CollectingChangeObserver::didUpdateItems(std::vector<fileprovider::ItemPtr> items) {
  std::lock_guard guard(mutex_);
  changes_.updated.push_back(std::move(items));
  changes_.calls.emplace_back("update");
}

void CollectingChangeObserver::didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> identifiers) {
  std::vector<std::string> raw;
  raw.reserve(identifiers.size());
  for (const auto& identifier : identifiers) raw.push_back(identifier.rawValue());
  std::lock_guard guard(mutex_);
  changes_.deleted.push_back(std::move(raw));
  changes_.calls.emplace_back("delete");
}

void CollectingChangeObserver::finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor,
                                                                      bool moreComing) {
  Changes changes = snapshot();
  changes.anchor = std::move(anchor);
  changes.moreComing = moreComing;
  finish_("finishEnumeratingChangesUpToSyncAnchor", std::move(changes));
}

void CollectingChangeObserver::finishEnumeratingWithError(foundation::Error error) {
  Changes changes = snapshot();
  changes.error = std::move(error);
  finish_("finishEnumeratingWithError", std::move(changes));
}

Changes CollectingChangeObserver::snapshot() {
  std::lock_guard guard(mutex_);
  return changes_;
}

}  // namespace corvane::framework

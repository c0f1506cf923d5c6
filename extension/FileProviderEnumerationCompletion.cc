#include "extension/FileProviderEnumerationCompletion.h"

namespace corvane {

EnumerationCompletion::EnumerationCompletion(std::shared_ptr<fileprovider::EnumerationObserver> observer)
    : once_([observer = std::move(observer)](Outcome outcome) {
        if (auto* error = std::get_if<foundation::Error>(&outcome)) {
          observer->finishEnumeratingWithError(std::move(*error));
          return;
        }
        auto& listed = std::get<Items>(outcome);
        if (listed.items) observer->didEnumerateItems(std::move(*listed.items));
        if (listed.beforeEnd) listed.beforeEnd();
        observer->finishEnumeratingUpToPage(std::nullopt);
      }) {}

void EnumerationCompletion::finish(std::optional<std::vector<fileprovider::ItemPtr>> items,
                                   BeforeEnd beforeEnd) const {
  once_(Outcome(std::in_place_index<0>, Items{std::move(items), std::move(beforeEnd)}));
}

void EnumerationCompletion::fail(foundation::Error error) const {
  once_(Outcome(std::in_place_index<1>, std::move(error)));
}

ChangeCompletion::ChangeCompletion(std::shared_ptr<fileprovider::ChangeObserver> observer)
    : once_([observer = std::move(observer)](Outcome outcome) {
        if (auto* error = std::get_if<foundation::Error>(&outcome)) {
          observer->finishEnumeratingWithError(std::move(*error));
          return;
        }
        auto& changes = std::get<Changes>(outcome);
        if (!changes.updated.empty()) observer->didUpdateItems(std::move(changes.updated));
        if (!changes.deleted.empty()) observer->didDeleteItemsWithIdentifiers(std::move(changes.deleted));
        if (changes.beforeEnd) changes.beforeEnd();
        observer->finishEnumeratingChangesUpToSyncAnchor(std::move(changes.next), false);
      }) {}

void ChangeCompletion::finish(std::vector<fileprovider::ItemPtr> updated,
                              std::vector<fileprovider::ItemIdentifier> deleted, fileprovider::SyncAnchor next,
                              BeforeEnd beforeEnd) const {
  once_(Outcome(std::in_place_index<0>,
                Changes{std::move(updated), std::move(deleted), std::move(next), std::move(beforeEnd)}));
}

void ChangeCompletion::fail(foundation::Error error) const { once_(Outcome(std::in_place_index<1>, std::move(error))); }

}  // namespace corvane

// The ends of the enumerator's requests. Each wraps the framework's observer or
// handler in one Once, so a request reports to it exactly once whichever path —
// local answer, host reply, or a link that broke with the call in flight — gets
// there first. Copies share the flag; any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "platform/fileprovider/Enumeration.h"
#include "platform/foundation/Once.h"

namespace corvane {

// What runs between a request's reports and its end (marking a snapshot,
// succeeding its trace): only when this end is the one that answers.
using BeforeEnd = std::function<void()>;

// enumerateItems: items (when given, in one didEnumerateItems call, even empty),
// then `beforeEnd`, then the end without a next page; or an error.
class EnumerationCompletion {
 public:
  explicit EnumerationCompletion(std::shared_ptr<fileprovider::EnumerationObserver> observer);

  void finish(std::optional<std::vector<fileprovider::ItemPtr>> items, BeforeEnd beforeEnd = {}) const;
  void fail(foundation::Error error) const;

 private:
  struct Items {
    std::optional<std::vector<fileprovider::ItemPtr>> items;
    BeforeEnd beforeEnd;
  };
  using Outcome = std::variant<Items, foundation::Error>;
  foundation::Once<Outcome> once_;
};

// enumerateChanges: updates (when any), then deletions (when any), then
// `beforeEnd`, then the next anchor with more-coming false; or an error.
class ChangeCompletion {
 public:
  explicit ChangeCompletion(std::shared_ptr<fileprovider::ChangeObserver> observer);

  void finish(std::vector<fileprovider::ItemPtr> updated, std::vector<fileprovider::ItemIdentifier> deleted,
              fileprovider::SyncAnchor next, BeforeEnd beforeEnd = {}) const;
  void fail(foundation::Error error) const;

 private:
  struct Changes {
    std::vector<fileprovider::ItemPtr> updated;
    std::vector<fileprovider::ItemIdentifier> deleted;
    fileprovider::SyncAnchor next;
    BeforeEnd beforeEnd;
  };
  using Outcome = std::variant<Changes, foundation::Error>;
  foundation::Once<Outcome> once_;
};

// currentSyncAnchor: the anchor, or none.
using AnchorCompletion = foundation::Once<std::optional<fileprovider::SyncAnchor>>;

}  // namespace corvane

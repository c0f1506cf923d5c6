// Enumeration and change observers that record what a request reported, for
// tests. The finishing call hands the record to a Waiter, whose count shows
// whether the request ended exactly once. Thread-safe: the extension calls them on
// the host connection's queue while the test thread waits.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/Enumeration.h"
#include "tests/support/Waiter.h"

namespace corvane::testing {

class CapturingEnumerationObserver final : public fileprovider::EnumerationObserver {
 public:
  struct Result {
    std::vector<std::vector<fileprovider::ItemPtr>> batches;  // one per didEnumerateItems
    std::optional<foundation::Error> error;                   // absent: finished up to no page
  };

  void didEnumerateItems(std::vector<fileprovider::ItemPtr> items) override {
    std::lock_guard guard(mutex_);
    record_.batches.push_back(std::move(items));
  }
  void finishEnumeratingUpToPage(std::optional<fileprovider::Page>) override { finish(std::nullopt); }
  void finishEnumeratingWithError(foundation::Error error) override { finish(std::move(error)); }

  Waiter<Result> finished;

 private:
  void finish(std::optional<foundation::Error> error) {
    std::unique_lock guard(mutex_);
    Result result = record_;
    guard.unlock();
    result.error = std::move(error);
    finished.set(std::move(result));
  }
  std::mutex mutex_;
  Result record_;
};

class CapturingChangeObserver final : public fileprovider::ChangeObserver {
 public:
  struct Result {
    std::vector<std::string> calls;  // "update" / "delete", in order
    std::vector<fileprovider::ItemPtr> updated;
    std::vector<std::string> deleted;  // raw identifiers
    std::optional<fileprovider::SyncAnchor> anchor;
    bool moreComing = false;
    std::optional<foundation::Error> error;
  };

  void didUpdateItems(std::vector<fileprovider::ItemPtr> items) override {
    std::lock_guard guard(mutex_);
    record_.calls.push_back("update");
    record_.updated.insert(record_.updated.end(), items.begin(), items.end());
  }
  void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> identifiers) override {
    std::lock_guard guard(mutex_);
    record_.calls.push_back("delete");
    for (const auto& id : identifiers) record_.deleted.push_back(id.rawValue());
  }
  void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor anchor, bool moreComing) override {
    finish([&](Result& r) {
      r.anchor = std::move(anchor);
      r.moreComing = moreComing;
    });
  }
  void finishEnumeratingWithError(foundation::Error error) override {
    finish([&](Result& r) { r.error = std::move(error); });
  }

  Waiter<Result> finished;

 private:
  template <typename F>
  void finish(F fill) {
    std::unique_lock guard(mutex_);
    Result result = record_;
    guard.unlock();
    fill(result);
    finished.set(std::move(result));
  }
  std::mutex mutex_;
  Result record_;
};

}  // namespace corvane::testing

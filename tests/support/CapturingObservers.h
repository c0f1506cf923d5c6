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

// The record an observer keeps, guarded by its mutex until the finishing call.
template <typename Result>
class Recording {
 public:
  Waiter<Result> finished;

 protected:
  template <typename F>
  void record(F change) {
    std::lock_guard guard(mutex_);
    change(record_);
  }
  template <typename F>
  void finish(F fill) {
    std::unique_lock guard(mutex_);
    Result result = record_;
    guard.unlock();
    fill(result);
    finished.set(std::move(result));
  }

 private:
  std::mutex mutex_;
  Result record_;
};

struct EnumerationRecord {
  std::vector<std::vector<fileprovider::ItemPtr>> batches;  // one per didEnumerateItems
  std::optional<foundation::Error> error;                   // absent: finished up to no page
};

class CapturingEnumerationObserver final : public fileprovider::EnumerationObserver,
                                           public Recording<EnumerationRecord> {
 public:
  using Result = EnumerationRecord;

  void didEnumerateItems(std::vector<fileprovider::ItemPtr> items) override {
    record([&](Result& r) { r.batches.push_back(std::move(items)); });
  }
  void finishEnumeratingUpToPage(std::optional<fileprovider::Page>) override { finish([](Result&) {}); }
  void finishEnumeratingWithError(foundation::Error error) override {
    finish([&](Result& r) { r.error = std::move(error); });
  }
};

struct ChangeRecord {
  std::vector<std::string> calls;  // "update" / "delete", in order
  std::vector<fileprovider::ItemPtr> updated;
  std::vector<std::string> deleted;  // raw identifiers
  std::optional<fileprovider::SyncAnchor> anchor;
  bool moreComing = false;
  std::optional<foundation::Error> error;
};

class CapturingChangeObserver final : public fileprovider::ChangeObserver, public Recording<ChangeRecord> {
 public:
  using Result = ChangeRecord;

  void didUpdateItems(std::vector<fileprovider::ItemPtr> items) override {
    record([&](Result& r) {
      r.calls.push_back("update");
      r.updated.insert(r.updated.end(), items.begin(), items.end());
    });
  }
  void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier> identifiers) override {
    record([&](Result& r) {
      r.calls.push_back("delete");
      for (const auto& id : identifiers) r.deleted.push_back(id.rawValue());
    });
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
};

}  // namespace corvane::testing

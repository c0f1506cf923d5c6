// The framework's collecting observers with a Waiter for their finish, for tests:
// the Waiter's count shows whether the request ended exactly once.
#pragma once

#include <utility>

#include "framework/CollectingObservers.h"
#include "tests/support/Waiter.h"

namespace corvane::testing {

class CapturingEnumerationObserver final : public framework::CollectingEnumerationObserver {
 public:
  using Result = framework::Listing;
  CapturingEnumerationObserver()
      : CollectingEnumerationObserver([this](const char*, Result result) { finished.set(std::move(result)); }) {}
  Waiter<Result> finished;
};

class CapturingChangeObserver final : public framework::CollectingChangeObserver {
 public:
  using Result = framework::Changes;
  CapturingChangeObserver()
      : CollectingChangeObserver([this](const char*, Result result) { finished.set(std::move(result)); }) {}
  Waiter<Result> finished;
};

}  // namespace corvane::testing

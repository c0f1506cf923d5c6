// Waiter<T>: a value that one thread sets and another waits for, with a timeout so
// that a missing callback fails the test instead of hanging it. Counts every set,
// so tests can assert that a handler ran exactly once.
//
// Tests wait for the event itself and never for a span of time: kLastResort only
// bounds how long a test that is already failing may hang. It is minutes so that
// ThreadSanitizer on two slow, busy cores never reaches it on a passing run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace corvane::testing {

inline constexpr std::chrono::milliseconds kLastResort = std::chrono::minutes(3);

template <typename T>
class Waiter {
 public:
  void set(T value) {
    std::lock_guard guard(mutex_);
    ++count_;
    if (!value_) value_.emplace(std::move(value));
    changed_.notify_all();
  }

  // The first value set, or absent after `timeout`.
  std::optional<T> wait(std::chrono::milliseconds timeout = kLastResort) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return value_.has_value(); });
    return value_;
  }

  int count() const {
    std::lock_guard guard(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<T> value_;
  int count_ = 0;
};

// Polls `condition` until it holds or `timeout` passes; returns its last value.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = kLastResort) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace corvane::testing

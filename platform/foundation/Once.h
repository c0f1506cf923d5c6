// Once<Args...>: a completion handler that runs at most once. Every framework
// completion and observer finish goes through one, so that "answered exactly once"
// is structural rather than something each path must remember. A second call is a
// bug: it aborts in debug builds and is dropped otherwise. Copies share the flag;
// thread-safe.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

namespace foundation {

template <typename... Args>
class Once {
 public:
  Once() = default;
  explicit Once(std::function<void(Args...)> fn) : state_(std::make_shared<State>(std::move(fn))) {}

  // Runs the handler and returns true the first time; later calls return false.
  bool operator()(Args... args) const {
    if (!state_ || state_->called.exchange(true)) {
#ifndef NDEBUG
      if (state_) {
        std::fprintf(stderr, "corvane: a completion handler was called a second time\n");
        std::abort();
      }
#endif
      return false;
    }
    auto fn = std::move(state_->fn);  // released as soon as it has run
    fn(std::forward<Args>(args)...);
    return true;
  }

  bool called() const { return state_ && state_->called.load(); }

 private:
  struct State {
    explicit State(std::function<void(Args...)> f) : fn(std::move(f)) {}
    std::atomic<bool> called{false};
    std::function<void(Args...)> fn;
  };
  std::shared_ptr<State> state_;
};

}  // namespace foundation

// CompletionRecorder: how the script runner waits for the extension's answers and
// notices broken promises. Every awaited framework call gets a Call; the
// completion handler (or observer finish) hands its result to Call::finish, and
// the runner waits for it for a bounded time. A finish that comes a second time,
// or after the runner gave up waiting, is not used: it is kept as a violation,
// listed at the end of the run.
//
// Threading: finish() may run on any thread, at any time, even after the runner
// has moved on; wait() runs on the runner's thread. A Call keeps the record of
// violations alive, so late finishes are safe whatever outlives what.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::framework {

struct Violation {
  std::string op;        // the op of the script line that made the call
  std::size_t line = 0;  // that line's number, from 1
  std::string handler;   // "completionHandler", "finishEnumeratingWithError", ...
  enum class Kind { repeated, late } kind = Kind::repeated;

  friend bool operator==(const Violation&, const Violation&) = default;
};

class CompletionRecorder {
 public:
  struct Ledger {
    std::mutex mutex;  // guards violations
    std::vector<Violation> violations;
  };

  // The awaited call of one script line, with result type T.
  template <typename T>
  class Call {
   public:
    Call(std::shared_ptr<Ledger> ledger, std::string op, std::size_t line)
        : ledger_(std::move(ledger)), op_(std::move(op)), line_(line) {}

    // The handler `handler` ran with `result`. The first finish within the wait
    // is the call's answer; any other is a violation. Any thread.
    void finish(const char* handler, T result) {
      std::optional<Violation::Kind> broken;
      {
        std::lock_guard guard(mutex_);
        if (finished_) {
          broken = Violation::Kind::repeated;
        } else {
          finished_ = true;
          if (gaveUp_) {
            broken = Violation::Kind::late;
          } else {
            result_ = std::move(result);
          }
        }
      }
      changed_.notify_all();
      if (broken) {
        std::lock_guard guard(ledger_->mutex);
        ledger_->violations.push_back({op_, line_, handler, *broken});
      }
    }

    // The answer, or absent when none came within `timeout`; from then on a
    // finish is late. The runner's thread, once per call.
    std::optional<T> wait(std::chrono::milliseconds timeout) {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, timeout, [&] { return finished_; })) {
        gaveUp_ = true;
        return std::nullopt;
      }
      return std::move(result_);
    }

   private:
    const std::shared_ptr<Ledger> ledger_;
    const std::string op_;
    const std::size_t line_;

    std::mutex mutex_;  // guards the three below
    std::condition_variable changed_;
    bool finished_ = false;
    bool gaveUp_ = false;
    std::optional<T> result_;
  };

  template <typename T>
  std::shared_ptr<Call<T>> begin(std::string op, std::size_t line) {
    return std::make_shared<Call<T>>(ledger_, std::move(op), line);
  }

  // Every violation so far, in the order they happened. Any thread.
  std::vector<Violation> violations() const;

 private:
  const std::shared_ptr<Ledger> ledger_ = std::make_shared<Ledger>();
};

}  // namespace corvane::framework

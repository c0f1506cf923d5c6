// dispatch::Queue stands in for a serial dispatch queue: blocks run one at a time,
// in the order they were submitted, each to completion. Owners use one queue to
// guard their state instead of a lock (see the comment on each guarded member).
//
// Thread-safe. Blocks normally run on the queue's own worker thread, named after
// the label (first 15 characters, the kernel's limit). Like Dispatch, sync() and
// tryRunInline() may instead run a block on the calling thread while holding the
// queue; the queue is still serial, so "on the queue" means isCurrent(), not a
// particular thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace dispatch {

// How eagerly the kernel schedules the worker thread. `utility` is for background
// work such as file copies and log appends.
enum class QualityOfService { standard, utility };

// Schedules the calling thread as a queue of `qos` schedules its worker: for a
// thread of one's own that does the same kind of work.
void applyToCurrentThread(QualityOfService qos);

class Queue {
 public:
  using Work = std::function<void()>;

  explicit Queue(std::string label, QualityOfService qos = QualityOfService::standard);
  // Runs the blocks already submitted, then stops the worker. When the last block
  // itself destroys the queue, the worker finishes on its own instead of being joined.
  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  const std::string& label() const;

  // Submits `work` and returns at once.
  void async(Work work);

  // Runs `work` on the queue and waits for it. Calling sync() from a block that is
  // already running on this queue would deadlock; it aborts with a message instead.
  template <typename F>
  auto sync(F&& work) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      syncRaw(&callVoid<std::remove_reference_t<F>>, &work);
    } else {
      struct Slot {
        std::remove_reference_t<F>* fn;
        std::optional<R> result;
      } slot{&work, std::nullopt};
      syncRaw(
          [](void* p) {
            auto* s = static_cast<Slot*>(p);
            s->result.emplace((*s->fn)());
          },
          &slot);
      return std::move(*slot.result);
    }
  }

  // When nothing is queued or running, runs `work` at once on the calling thread,
  // holding the queue, and returns true. Otherwise does nothing and returns false.
  // Lets a producer skip a thread hand-off when the queue is idle.
  template <typename F>
  bool tryRunInline(F&& work) {
    return tryRunInlineRaw(&callVoid<std::remove_reference_t<F>>, &work);
  }

  // True while the calling thread runs a block of this queue (also inline ones).
  bool isCurrent() const;

  // Aborts with a message naming `what` when the caller is not on this queue.
  // Compiled out in release builds.
  void assertCurrent(const char* what) const;

  struct State;

 private:
  template <typename F>
  static void callVoid(void* p) {
    (*static_cast<F*>(p))();
  }
  void syncRaw(void (*fn)(void*), void* context);
  bool tryRunInlineRaw(void (*fn)(void*), void* context);

  std::shared_ptr<State> state_;
};

}  // namespace dispatch

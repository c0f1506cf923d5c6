// WorkerPool: a few threads that run the host's blocking file work, so that a
// slow upload or listing never holds up the connection's queue (and with it the
// pings and replies of every other call on the link). Jobs run in submission
// order of start, several at once; nothing orders their completion.
//
// Background jobs (uploads: transfers the mount makes after a close) have
// workers of their own at background priority, as the extension's staging
// queue has: a lookup, listing or fetch a program waits on goes first, and so
// does the program writing the files.
//
// Thread-safe. The pool may be destroyed from one of its own jobs: that worker
// then finishes on its own instead of being joined.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace corvane::host {

class WorkerPool {
 public:
  using Job = std::function<void()>;

  enum class Lane { standard, background };

  // `threads` workers for each lane.
  explicit WorkerPool(std::size_t threads = 4);
  // shutdown(), then waits for the workers (except the calling one).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `job`. False, without taking it, once shutdown() has begun; the caller
  // then answers the work itself.
  [[nodiscard]] bool submit(Job job, Lane lane = Lane::standard);

  // Refuses new jobs; the queued ones still run. Idempotent.
  void shutdown();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace corvane::host

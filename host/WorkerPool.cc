#include "host/WorkerPool.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/JoinOrDetach.h"

namespace corvane::host {

// Shared with the workers, so a worker that outlives the pool object (the pool
// was destroyed by one of its jobs) still has its queue to drain.
struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  bool stopping = false;
  std::vector<std::thread> threads;  // set once by the constructor
};

namespace {

void work(const std::shared_ptr<WorkerPool::State>& state) {
  ::pthread_setname_np(::pthread_self(), "host.worker");
  for (;;) {
    WorkerPool::Job job;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
      if (state->jobs.empty()) return;
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    job();
  }
}

}  // namespace

WorkerPool::WorkerPool(std::size_t threads) : state_(std::make_shared<State>()) {
  if (threads == 0) threads = 1;
  state_->threads.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) state_->threads.emplace_back([s = state_] { work(s); });
}

WorkerPool::~WorkerPool() {
  shutdown();
  for (std::thread& t : state_->threads) foundation::joinOrDetach(t);
}

bool WorkerPool::submit(Job job) {
  {
    std::lock_guard guard(state_->mutex);
    if (state_->stopping) return false;
    state_->jobs.push_back(std::move(job));
  }
  state_->wake.notify_one();
  return true;
}

void WorkerPool::shutdown() {
  {
    std::lock_guard guard(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
}

}  // namespace corvane::host

#include "host/WorkerPool.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Guarded.h"
#include "platform/foundation/JoinOrDetach.h"

namespace corvane::host {

// Shared with the workers, so a worker that outlives the pool object (the pool
// was destroyed by one of its jobs) still has its queue to drain.
struct WorkerPool::State {
  std::mutex mutex;
  struct Queue {
    std::condition_variable wake;
    std::deque<Job> jobs;
  };
  Queue lanes[2];  // by Lane
  bool stopping = false;
  std::vector<std::thread> threads;  // set once by the constructor
};

namespace {

void work(const std::shared_ptr<WorkerPool::State>& state, WorkerPool::Lane lane) {
  ::pthread_setname_np(::pthread_self(), lane == WorkerPool::Lane::standard ? "host.worker" : "host.upload");
  if (lane == WorkerPool::Lane::background) dispatch::applyToCurrentThread(dispatch::QualityOfService::utility);
  auto& queue = state->lanes[static_cast<int>(lane)];
  for (;;) {
    WorkerPool::Job job;
    {
      std::unique_lock lock(state->mutex);
      queue.wake.wait(lock, [&] { return state->stopping || !queue.jobs.empty(); });
      if (queue.jobs.empty()) return;
      job = std::move(queue.jobs.front());
      queue.jobs.pop_front();
    }
    (void)foundation::runGuarded("a host worker's job", job);
  }
}

}  // namespace

WorkerPool::WorkerPool(std::size_t threads) : state_(std::make_shared<State>()) {
  if (threads == 0) threads = 1;
  state_->threads.reserve(2 * threads);
  for (Lane lane : {Lane::standard, Lane::background}) {
    for (std::size_t i = 0; i < threads; ++i) state_->threads.emplace_back([s = state_, lane] { work(s, lane); });
  }
}

WorkerPool::~WorkerPool() {
  shutdown();
  for (std::thread& t : state_->threads) foundation::joinOrDetach(t);
}

bool WorkerPool::submit(Job job, Lane lane) {
  auto& queue = state_->lanes[static_cast<int>(lane)];
  {
    std::lock_guard guard(state_->mutex);
    if (state_->stopping) return false;
    queue.jobs.push_back(std::move(job));
  }
  queue.wake.notify_one();
  return true;
}

void WorkerPool::shutdown() {
  {
    std::lock_guard guard(state_->mutex);
    state_->stopping = true;
  }
  for (auto& queue : state_->lanes) queue.wake.notify_all();
}

}  // namespace corvane::host

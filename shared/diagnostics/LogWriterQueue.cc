#include "shared/diagnostics/LogWriterQueue.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace corvane {

LogWriterQueue::LogWriterQueue(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { run(); });
  // Thread names are limited to 15 bytes; the tail of the label is the telling part.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  ::pthread_setname_np(worker_.native_handle(), name.c_str());
}

LogWriterQueue::~LogWriterQueue() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void LogWriterQueue::async(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    pending_.push_back(std::move(block));
    ++submitted_;
  }
  workAvailable_.notify_one();
}

bool LogWriterQueue::waitUntilIdle(std::chrono::milliseconds limit) {
  if (std::this_thread::get_id() == worker_.get_id()) {
    std::fprintf(stderr, "LogWriterQueue(%s): waitUntilIdle on its own worker would never return\n",
                 label_.c_str());
    std::abort();
  }
  std::unique_lock<std::mutex> hold(mutex_);
  const std::uint64_t target = submitted_;
  auto done = [&] { return completed_ >= target; };
  if (limit == std::chrono::milliseconds::max()) {
    progressed_.wait(hold, done);
    return true;
  }
  return progressed_.wait_for(hold, limit, done);
}

void LogWriterQueue::run() {
  std::deque<std::function<void()>> batch;
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    workAvailable_.wait(hold, [&] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping, and nothing left to run
    batch.swap(pending_);
    hold.unlock();
    // Blocks run without the lock, so async() from any thread (or from a block) never waits on I/O.
    for (auto& block : batch) {
      block();
      block = nullptr;  // release captured state before reporting progress
    }
    const auto ran = batch.size();
    batch.clear();
    hold.lock();
    completed_ += ran;
    progressed_.notify_all();
  }
}

}  // namespace corvane

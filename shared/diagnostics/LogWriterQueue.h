// The event log's writer queue: a serial executor with one worker thread that runs
// submitted blocks in submission order. It has the shape of a serial dispatch queue
// (label, async) so that it can be replaced by dispatch::Queue without touching its
// callers. Private to the diagnostics library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace corvane {

class LogWriterQueue {
 public:
  // Starts the worker thread at once.
  explicit LogWriterQueue(std::string label);
  // Runs what is still queued, then stops the worker. Must not run on the worker.
  ~LogWriterQueue();
  LogWriterQueue(const LogWriterQueue&) = delete;
  LogWriterQueue& operator=(const LogWriterQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues `block` and returns at once. Callable from any thread, the worker included.
  void async(std::function<void()> block);

  // Blocks until every block submitted before the call has run, or until `limit`
  // has passed; returns whether they all ran. Called on the worker it would wait
  // for itself, so that aborts the process.
  bool waitUntilIdle(std::chrono::milliseconds limit = std::chrono::milliseconds::max());

 private:
  void run();

  const std::string label_;

  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable progressed_;
  std::deque<std::function<void()>> pending_;
  std::uint64_t submitted_ = 0;
  std::uint64_t completed_ = 0;
  bool stopping_ = false;

  // Last member: the worker starts once everything above is built.
  std::thread worker_;
};

}  // namespace corvane

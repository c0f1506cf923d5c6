#include "platform/dispatch/ConcurrentPerform.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace dispatch {

void concurrentPerform(std::size_t iterations, std::size_t width, const std::function<void(std::size_t)>& block) {
  std::atomic<std::size_t> next{0};
  std::mutex failureMutex;
  std::exception_ptr failure;  // the first run that threw; the caller gets it once all have returned
  auto drain = [&] {
    for (std::size_t i = next++; i < iterations; i = next++) {
      try {
        block(i);
      } catch (...) {
        std::lock_guard guard(failureMutex);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  const std::size_t runners = std::min(std::max<std::size_t>(width, 1), iterations);
  {
    std::vector<std::jthread> helpers;
    for (std::size_t t = 1; t < runners; ++t) helpers.emplace_back(drain);
    drain();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace dispatch

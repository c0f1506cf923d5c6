// foundation::Progress stands in for NSProgress: a unit count that request code
// advances while the framework (on another thread) reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace foundation {

class Progress {
 public:
  explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

  std::int64_t totalUnitCount() const { return total_.load(); }
  void setTotalUnitCount(std::int64_t count) { total_.store(count); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setCompletedUnitCount(std::int64_t count) { completed_.store(count); }

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
};

using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace foundation

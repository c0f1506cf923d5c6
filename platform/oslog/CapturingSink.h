// A sink that keeps every message in memory, for tests that check what reached
// the system log. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/oslog/Sink.h"

namespace oslog {

class CapturingSink final : public Sink {
 public:
  struct Entry {
    Type type;
    std::string message;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  void write(Type type, std::string_view message) override;

  std::vector<Entry> entries() const;
  std::vector<std::string> messages() const;
  void clear();

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
};

}  // namespace oslog

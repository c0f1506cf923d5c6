#include "platform/oslog/CapturingSink.h"

namespace oslog {

void CapturingSink::write(Type type, std::string_view message) {
  std::lock_guard<std::mutex> hold(mutex_);
  entries_.push_back(Entry{type, std::string(message)});
}

std::vector<CapturingSink::Entry> CapturingSink::entries() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return entries_;
}

std::vector<std::string> CapturingSink::messages() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const Entry& entry : entries_) result.push_back(entry.message);
  return result;
}

void CapturingSink::clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  entries_.clear();
}

}  // namespace oslog

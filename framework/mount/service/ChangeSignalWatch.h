// ChangeSignalWatch: hears the host's signal that the peer's share changed
// (host/ChangeSignal.h) and asks the poll loop for a round now. It only makes
// the next round come sooner; the rounds at their interval find every change
// without it.
//
// Threading: one thread of its own, which calls `heard`.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class ChangeSignalWatch {
 public:
  // Null when inotify cannot watch the file's folder (made when missing).
  static std::unique_ptr<ChangeSignalWatch> start(const std::filesystem::path& file, std::function<void()> heard);
  ~ChangeSignalWatch();  // stops the thread
  ChangeSignalWatch(const ChangeSignalWatch&) = delete;
  ChangeSignalWatch& operator=(const ChangeSignalWatch&) = delete;

 private:
  ChangeSignalWatch(foundation::UniqueFd inotify, foundation::UniqueFd stopRead, foundation::UniqueFd stopWrite,
                    std::string name, std::function<void()> heard);
  void run();

  const foundation::UniqueFd inotify_;
  const foundation::UniqueFd stopRead_;
  const foundation::UniqueFd stopWrite_;
  const std::string name_;
  const std::function<void()> heard_;
  std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace corvane::framework::mount

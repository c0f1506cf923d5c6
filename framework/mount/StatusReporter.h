// StatusReporter: the mount's status file, which `corvane-fp status`, `watch`
// and `doctor` read: written while the mount waits for its host, rewritten
// every poll round while it serves, and removed when the mount goes, however
// it ends. A round waits on the peer; so that the file goes on telling the
// transfers while a link stalls, a thread of its own rewrites it whenever two
// seconds passed without a write.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/service/HostWatch.h"
#include "framework/mount/upload/UploadQueue.h"

namespace corvane::framework::mount {

class StatusReporter {
 public:
  StatusReporter(std::string domain, std::filesystem::path mountPoint, std::function<pid_t()> hostPid);
  ~StatusReporter();
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;

  // Seen while it waits for its host: nothing is mounted yet.
  void waiting();
  // From here on each report tells the link's phase ("ready", "waiting" for a
  // host, or "unresponsive": linked, but the host stopped answering), the cache
  // (evicting what is over its budget first: space another program took is
  // given back here too) and the uploads.
  void serving(std::function<bool()> linkReady, std::shared_ptr<const HostWatch> watch,
               std::shared_ptr<MaterializedCache> cache, std::shared_ptr<UploadQueue> uploads);
  void draining();
  void report();  // any thread
  // What is queued changed: written now unless it was moments ago, and then
  // by the next report(). Any thread; the cache is left for report().
  void queueChanged();
  void remove();  // the mount is gone: status and doctor no longer list it

 private:
  void write(bool forQueue);
  void keepWriting();

  const std::string domain_;
  const std::string mountPoint_;
  const std::function<pid_t()> hostPid_;
  std::mutex mutex_;  // guards everything below
  std::string phase_ = "waiting";  // empty: from the link
  std::function<bool()> linkReady_;
  std::shared_ptr<const HostWatch> watch_;
  std::shared_ptr<MaterializedCache> cache_;
  std::shared_ptr<UploadQueue> uploads_;
  bool removed_ = false;
  std::chrono::steady_clock::time_point written_{};
  bool lastForQueue_ = false;
  std::condition_variable wake_;
  std::thread ticker_;  // while serving
};

}  // namespace corvane::framework::mount

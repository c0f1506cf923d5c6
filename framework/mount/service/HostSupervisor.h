// HostSupervisor: the corvane-vfs-host child a mount serves its share with. When
// the host dies it is started again, after a pause that doubles with each quick
// failure (0.5 s up to 30 s) and starts over once a host has run for a minute,
// so a crashing host neither spins nor stays away. A host that exits with
// status 3 (a share elsewhere that trying again cannot reach) is not started
// again: gaveUp() then says why, in the host's own last line.
//
// Thread-safe; one watcher thread of its own, stopped by stop() or the destructor.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostProcess.h"
#include "platform/foundation/Result.h"

namespace corvane::framework::mount {

class HostSupervisor {
 public:
  // `arguments` are the host's, for example {"--peer", "ID=DIR"}.
  [[nodiscard]] static foundation::Result<std::unique_ptr<HostSupervisor>> start(std::vector<std::string> arguments,
                                                                                 std::filesystem::path errorFile);
  ~HostSupervisor();

  // Stops the host (SIGTERM, then SIGKILL after 5 s) and the watcher.
  void stop();
  pid_t pid() const;
  int restarts() const;
  // Why the host ended for good, once it has.
  std::optional<std::string> gaveUp() const;

 private:
  HostSupervisor(std::vector<std::string> arguments, std::filesystem::path errorFile,
                 std::unique_ptr<HostProcess> process);
  void watch();

  const std::vector<std::string> arguments_;
  const std::filesystem::path errorFile_;
  mutable std::mutex mutex_;  // guards process_, stopping_, restarts_, gaveUp_
  std::condition_variable wake_;
  std::unique_ptr<HostProcess> process_;
  bool stopping_ = false;
  int restarts_ = 0;
  std::optional<std::string> gaveUp_;
  std::thread watcher_;
};

}  // namespace corvane::framework::mount

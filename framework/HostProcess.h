// HostProcess: the corvane-vfs-host program run beside corvane-fp (for the
// demo, and under a mount's supervision), serving one peer's share. Its
// standard error goes to a file, so its event lines do not mix with ours; that
// file is shown when the host never activates. A mount also passes each of
// those lines on to its own standard error, where a service's journal finds
// them: they are few, and each says something a user may need (the link lost,
// a folder that cannot be watched, state that cannot be saved). Used from one
// thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Result.h"

namespace corvane::framework {

class HostProcess {
 public:
  // corvane-vfs-host beside this program's own executable.
  static std::filesystem::path besideThisProgram();

  // Starts `program ARGUMENTS...` ("--peer PEER=FOLDER", say), its standard
  // error appended to `errorFile` (and, with `echo`, written to ours as well,
  // line by line). The process gets SIGTERM when the thread that started it
  // ends (with this process, however it ends), so a host never outlives the
  // program it serves.
  [[nodiscard]] static foundation::Result<std::unique_ptr<HostProcess>> start(const std::filesystem::path& program,
                                                                              const std::vector<std::string>& arguments,
                                                                              const std::filesystem::path& errorFile,
                                                                              bool echo = false);
  // Stops the process if still running.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Whether the process has ended by itself (it is reaped here, and stop()
  // then only returns its status). Once it has, all it wrote is in the file.
  bool hasExited();
  // Its exit status once it has ended by itself (-1 for a signal).
  int exitStatus() const { return status_; }

  // SIGTERM, then waits up to 5 s for the clean exit (SIGKILL after that).
  // Returns the exit status, or -1 when it did not exit by itself.
  int stop();

 private:
  class Relay;
  HostProcess(pid_t pid, std::unique_ptr<Relay> relay);

  pid_t pid_;
  std::unique_ptr<Relay> relay_;  // with `echo`
  bool stopped_ = false;
  int status_ = -1;
};

}  // namespace corvane::framework

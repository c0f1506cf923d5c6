#include "framework/DemoHostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace corvane::framework {

std::filesystem::path DemoHostProcess::besideThisProgram() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(".") : self.parent_path()) / "corvane-vfs-host";
}

foundation::Result<std::unique_ptr<DemoHostProcess>> DemoHostProcess::start(const std::filesystem::path& program,
                                                                            const std::string& peer,
                                                                            const std::filesystem::path& folder,
                                                                            const std::filesystem::path& errorFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string path = program.string();
  std::string peerArgument = peer + "=" + folder.string();
  char* argv[] = {path.data(), const_cast<char*>("--peer"), peerArgument.data(), nullptr};
  // The host must see SIGTERM: undo any blocking this process inherited.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return foundation::Error(foundation::kPosixErrorDomain, spawned,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   "cannot start " + path + ": " + std::strerror(spawned)}});
  }
  return std::unique_ptr<DemoHostProcess>(new DemoHostProcess(pid));
}

DemoHostProcess::~DemoHostProcess() { stop(); }

bool DemoHostProcess::hasExited() {
  if (stopped_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  stopped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

int DemoHostProcess::stop() {
  if (stopped_) return status_;
  stopped_ = true;
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      return status_ = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace corvane::framework

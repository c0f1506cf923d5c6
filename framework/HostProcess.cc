#include "framework/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace corvane::framework {

std::filesystem::path HostProcess::besideThisProgram() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(".") : self.parent_path()) / "corvane-vfs-host";
}

foundation::Result<std::unique_ptr<HostProcess>> HostProcess::start(const std::filesystem::path& program,
                                                                    const std::vector<std::string>& arguments,
                                                                    const std::filesystem::path& errorFile) {
  std::string path = program.string();
  std::vector<char*> argv{path.data()};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  auto failure = [&](int err) {
    return foundation::Error(foundation::kPosixErrorDomain, err,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   "cannot start " + path + ": " + std::strerror(err)}});
  };
  // The child reports a failed exec through this pipe; a successful one closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return failure(errno);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return failure(err);
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    // The host must see SIGTERM: undo any blocking this process inherited. And
    // it must not outlive this process, however this one ends.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(0);
    ::execv(path.c_str(), argv.data());
    const int code = errno;
    (void)!::write(report[1], &code, sizeof code);
    ::_exit(127);
  }
  ::close(report[1]);
  int code = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof code)) {
    ::waitpid(pid, nullptr, 0);
    return failure(code);
  }
  return std::unique_ptr<HostProcess>(new HostProcess(pid));
}

HostProcess::~HostProcess() { stop(); }

bool HostProcess::hasExited() {
  if (stopped_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  stopped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

int HostProcess::stop() {
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

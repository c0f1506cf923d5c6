#include "framework/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::framework {

namespace {

// How long a host that ended may take to have the last of its lines relayed.
constexpr std::chrono::seconds kLastLines{1};

}  // namespace

// Copies what the host writes to its standard error into the file, and each
// whole line to ours too, on a thread of its own: the host never waits on
// this process beyond a pipe's buffer.
class HostProcess::Relay {
 public:
  Relay(int output, std::filesystem::path file) : output_(output), file_(std::move(file)) {
    if (::pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() { finish(std::chrono::milliseconds(0)); }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Waits up to `patience` for the end of the host's output (a process the
  // host started may hold it open a moment longer), then stops relaying.
  void finish(std::chrono::milliseconds patience) {
    if (!thread_.joinable()) return;
    {
      std::unique_lock lock(mutex_);
      ended_.wait_for(lock, patience, [&] { return atEnd_; });
    }
    if (stop_[1] >= 0) (void)!::write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {output_, stop_[0], stop_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }

 private:
  void run() {
    std::string pending;
    char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{output_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      const int ready = ::poll(fds, stop_[0] >= 0 ? 2 : 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (fds[0].revents == 0 && fds[1].revents != 0)) break;
      const ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const int file = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (file >= 0) {
        (void)!::write(file, buffer, static_cast<std::size_t>(n));
        ::close(file);
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        // One write a line: lines of other threads never cut into it.
        (void)!::write(STDERR_FILENO, pending.data(), end + 1);
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) (void)!::write(STDERR_FILENO, (pending + "\n").data(), pending.size() + 1);
    std::lock_guard lock(mutex_);
    atEnd_ = true;
    ended_.notify_all();
  }

  const int output_;
  const std::filesystem::path file_;
  int stop_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable ended_;
  bool atEnd_ = false;
  std::thread thread_;
};

HostProcess::HostProcess(pid_t pid, std::unique_ptr<Relay> relay) : pid_(pid), relay_(std::move(relay)) {}

std::filesystem::path HostProcess::besideThisProgram() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(".") : self.parent_path()) / "corvane-vfs-host";
}

foundation::Result<std::unique_ptr<HostProcess>> HostProcess::start(const std::filesystem::path& program,
                                                                    const std::vector<std::string>& arguments,
                                                                    const std::filesystem::path& errorFile, bool echo) {
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
  int relayed[2] = {-1, -1};
  if (echo && ::pipe2(relayed, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    return failure(err);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    for (int fd : {report[0], report[1], relayed[0], relayed[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return failure(err);
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    int err = echo ? relayed[1] : ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
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
  std::unique_ptr<Relay> relay;
  if (echo) {
    ::close(relayed[1]);
    relay = std::make_unique<Relay>(relayed[0], errorFile);
  }
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
  return std::unique_ptr<HostProcess>(new HostProcess(pid, std::move(relay)));
}

HostProcess::~HostProcess() { stop(); }

bool HostProcess::hasExited() {
  if (stopped_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  stopped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (relay_) relay_->finish(kLastLines);
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
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (relay_) relay_->finish(kLastLines);
  return status_ = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace corvane::framework

#include "host/stream/StreamProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::host {

std::string shellQuoted(const std::string& text) {
  if (text.substr(0, 2) == "~/") return "~/" + shellQuoted(text.substr(2));
  if (text == "~") return text;
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

std::vector<std::string> sshCommandLine(const RemoteAddress& address, const std::string& sshCommand,
                                        const std::string& remoteProgram) {
  std::string host = address.host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  // The command is a shell command line of its own ("ssh -i key"), so the
  // arguments follow it as "$@", untouched by that shell.
  std::vector<std::string> argv = {"/bin/sh",
                                   "-c",
                                   sshCommand + " \"$@\"",
                                   "ssh",
                                   "-T",
                                   "-o",
                                   "BatchMode=yes",
                                   "-o",
                                   "ServerAliveInterval=5",
                                   "-o",
                                   "ServerAliveCountMax=3"};
  if (address.port) argv.insert(argv.end(), {"-p", std::to_string(*address.port)});
  if (!address.user.empty()) argv.insert(argv.end(), {"-l", address.user});
  const std::string folder = address.folder.empty() ? "." : address.folder;
  // The far side's shell joins and splits the command again: the folder is quoted.
  argv.insert(argv.end(), {"--", host, remoteProgram + " --serve-stdio " + shellQuoted(folder)});
  return argv;
}

foundation::Result<std::unique_ptr<StreamProcess>> StreamProcess::start(const std::vector<std::string>& args,
                                                                        LineSink errorLines) {
  auto failure = [&](int err) {
    return foundation::Error(foundation::kPosixErrorDomain, err,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   "cannot start " + args.front() + ": " + std::strerror(err)}});
  };
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return failure(errno);
  foundation::UniqueFd ours(pair[0]), theirs(pair[1]);
  int errors[2];
  if (::pipe2(errors, O_CLOEXEC) != 0) return failure(errno);
  foundation::UniqueFd errorsRead(errors[0]), errorsWrite(errors[1]);

  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return failure(errno);
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::dup2(theirs.get(), STDIN_FILENO);
    ::dup2(theirs.get(), STDOUT_FILENO);
    ::dup2(errorsWrite.get(), STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(255);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  theirs.reset();
  errorsWrite.reset();
  return std::unique_ptr<StreamProcess>(
      new StreamProcess(pid, std::move(ours), std::move(errorsRead), std::move(errorLines)));
}

StreamProcess::StreamProcess(pid_t pid, foundation::UniqueFd stream, foundation::UniqueFd errors, LineSink sink)
    : pid_(pid),
      stream_(std::move(stream)),
      errors_(std::move(errors)),
      stopReading_(::eventfd(0, EFD_CLOEXEC)),
      sink_(std::move(sink)) {
  reader_ = std::thread([this] { readErrors(); });
}

StreamProcess::~StreamProcess() { stop(); }

void StreamProcess::readErrors() {
  std::string partial;
  char buffer[4096];
  for (;;) {
    pollfd p[2] = {{errors_.get(), POLLIN, 0}, {stopReading_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // What is already written is still read before a stop takes effect.
    if (p[0].revents == 0 && p[1].revents != 0) return;
    const ssize_t n = ::read(errors_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
      std::string line = partial.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      {
        std::lock_guard lock(mutex_);
        lastLine_ = line;
      }
      if (sink_) sink_(line);
    }
    // A line that never ends is passed on in pieces rather than held without bound.
    if (partial.size() > 4096) {
      if (sink_) sink_(partial);
      partial.clear();
    }
  }
  if (!partial.empty()) {
    std::lock_guard lock(mutex_);
    lastLine_ = partial;
    if (sink_) sink_(partial);
  }
}

std::optional<int> StreamProcess::exitStatus(std::chrono::milliseconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  while (!status_) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
      break;
    }
    if (done < 0 && errno != EINTR) {
      status_ = 255;
      break;
    }
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

int StreamProcess::stop() {
  stream_.reset();
  if (!exitStatus(std::chrono::milliseconds(0))) {
    ::kill(pid_, SIGTERM);
    if (!exitStatus(std::chrono::seconds(1))) {
      ::kill(pid_, SIGKILL);
      while (!exitStatus(std::chrono::seconds(1))) {
      }
    }
  }
  if (reader_.joinable()) {
    // The errors already written are read to their end, unless a process the
    // command left behind keeps the pipe open.
    const std::uint64_t one = 1;
    (void)!::write(stopReading_.get(), &one, sizeof one);
    reader_.join();
  }
  return *status_;
}

std::string StreamProcess::lastErrorLine() const {
  std::lock_guard lock(mutex_);
  return lastLine_;
}

}  // namespace corvane::host

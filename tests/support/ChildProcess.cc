#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

extern char** environ;

namespace corvane::testing {

ChildProcess::ChildProcess(std::vector<std::string> args, ChildOptions options) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if ((options.pipeInput && ::pipe2(in, O_CLOEXEC) != 0) || (options.pipeOutput && ::pipe2(out, O_CLOEXEC) != 0)) {
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.pipeInput) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  if (options.pipeOutput) posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (options.errorFile) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorFile->c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (options.pipeInput) ::close(in[0]);
  if (options.pipeOutput) ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

ChildProcess::~ChildProcess() {
  stop();
  closeInput();
  if (output_ >= 0) ::close(output_);
}

bool ChildProcess::write(const std::string& text) {
  return input_ >= 0 && ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  for (std::size_t end; (end = buffered_.find('\n')) == std::string::npos;) {
    pollfd ready{output_, POLLIN, 0};
    char chunk[4096];
    ssize_t n = output_ >= 0 && ::poll(&ready, 1, static_cast<int>(timeout.count())) > 0
                    ? ::read(output_, chunk, sizeof chunk)
                    : 0;
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
  std::string line = buffered_.substr(0, buffered_.find('\n'));
  buffered_.erase(0, line.size() + 1);
  return line;
}

std::string ChildProcess::readAll() {
  char chunk[4096];
  for (ssize_t n; output_ >= 0 && (n = ::read(output_, chunk, sizeof chunk)) > 0;) {
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
  return std::exchange(buffered_, {});
}

int ChildProcess::stop(int signal) {
  if (pid_ <= 0) return status_;
  if (signal != 0) ::kill(pid_, signal);
  int status = 0;
  if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) status_ = WEXITSTATUS(status);
  pid_ = -1;
  return status_;
}

}  // namespace corvane::testing

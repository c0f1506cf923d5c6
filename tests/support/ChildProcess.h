// A child process for cross-process tests: started with posix_spawnp in the
// current environment, its standard input and output optionally piped to the
// test, its standard error optionally appended to a file. Killed (SIGKILL) and
// reaped at the latest when the object goes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Waiter.h"

namespace corvane::testing {

struct ChildOptions {
  bool pipeInput = false;
  bool pipeOutput = false;
  std::optional<std::filesystem::path> errorFile = std::nullopt;
};

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> args, ChildOptions options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes `text` to the piped standard input; false when it could not.
  bool write(const std::string& text);
  void closeInput();
  // The next line of the piped standard output without its line feed; absent at
  // its end or when none comes within `timeout`.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = kLastResort);
  // Everything left on the piped standard output.
  std::string readAll();

  // Sends `signal` (none: 0) and waits; returns the exit status, or -1 when the
  // process did not exit normally. Later calls return the same status.
  int stop(int signal = SIGKILL);
  int wait() { return stop(0); }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
};

// Runs `args` to its end and returns its exit status (-1 when it did not exit normally).
inline int run(std::vector<std::string> args) { return ChildProcess(std::move(args)).wait(); }

}  // namespace corvane::testing

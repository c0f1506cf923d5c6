// StreamProcess: the program that carries a share stream to the far side (ssh,
// or whatever --ssh-command names), run with one end of a socketpair as its
// standard input and output. Its standard error is read line by line: each line
// is passed on (it carries the far side's own messages too) and the last one is
// kept to explain an ending. The process gets SIGTERM if the thread that
// started it ends first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/stream/RemoteAddress.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::host {

// The command line that runs `remoteProgram --serve-stdio DIR` on the address's
// host through `sshCommand` (a shell command line, like rsync's -e), with the
// options a stream needs: no terminal, no questions, keep-alives.
std::vector<std::string> sshCommandLine(const RemoteAddress& address, const std::string& sshCommand,
                                        const std::string& remoteProgram);
// `text` quoted for a POSIX shell; a leading "~/" is left for the shell to expand.
std::string shellQuoted(const std::string& text);

class StreamProcess {
 public:
  using LineSink = std::function<void(const std::string& line)>;

  [[nodiscard]] static foundation::Result<std::unique_ptr<StreamProcess>> start(const std::vector<std::string>& argv,
                                                                                LineSink errorLines);
  // stop().
  ~StreamProcess();
  StreamProcess(const StreamProcess&) = delete;
  StreamProcess& operator=(const StreamProcess&) = delete;

  // This side of the stream, until taken.
  int fd() const { return stream_.get(); }
  foundation::UniqueFd takeStream() { return std::move(stream_); }

  // The exit status (128 + N for signal N) once the process has ended, waiting
  // up to `patience` for it.
  std::optional<int> exitStatus(std::chrono::milliseconds patience);
  // SIGTERM, then SIGKILL after a second; reaps it and stops reading its errors.
  int stop();
  // The last line it wrote on standard error ("" when none).
  std::string lastErrorLine() const;

 private:
  StreamProcess(pid_t pid, foundation::UniqueFd stream, foundation::UniqueFd errors, LineSink sink);
  void readErrors();

  const pid_t pid_;
  foundation::UniqueFd stream_;
  const foundation::UniqueFd errors_;
  const foundation::UniqueFd stopReading_;  // eventfd
  const LineSink sink_;
  std::optional<int> status_;
  mutable std::mutex mutex_;  // guards lastLine_
  std::string lastLine_;
  std::thread reader_;
};

}  // namespace corvane::host

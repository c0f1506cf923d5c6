// FileProviderRequestTrace brackets one framework request in the event log: a
// "mount.request_start" record when it is created and exactly one outcome record
// ("mount.request_done" or "mount.request_fail") with the request's duration,
// however many completion paths the request has. Request code creates it first
// thing, shares it (std::shared_ptr) with its reply handlers, and calls succeed()
// or fail() at every exit; the first call wins, later ones are silent.
//
// Threading: created on any thread, completed from any thread; succeed() and fail()
// may race and still produce one outcome record.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace corvane {

class FileProviderRequestTrace {
 public:
  // Wall-clock time in seconds; replaceable so tests can move time.
  using Clock = std::function<double()>;

  // How a request failed. Designated initialisers name the arguments:
  //   trace->fail({.error = replyError, .retryable = true});
  struct Failure {
    std::optional<foundation::Error> error = std::nullopt;
    // Taxonomy code logged when the error does not name one (CorvaneFpLog::errorCode).
    std::string_view fallbackCode = "io";
    bool retryable = false;
    std::string_view level = "ERROR";
    // Absent: the detail given at creation. An empty text leaves "detail" out.
    std::optional<std::string_view> detail = std::nullopt;
  };

  // Emits "mount.request_start" (level DEBUG) with a new flow id.
  FileProviderRequestTrace(std::string operation, std::string peer, std::string detail);
  FileProviderRequestTrace(std::string operation, std::string peer, std::string detail, Clock clock);
  FileProviderRequestTrace(const FileProviderRequestTrace&) = delete;
  FileProviderRequestTrace& operator=(const FileProviderRequestTrace&) = delete;

  // Lower-case canonical UUID text, unique per trace; passed to the host as the
  // flow id of the request's calls.
  const std::string& flowId() const { return flowId_; }
  const std::string& operation() const { return operation_; }

  // Records success: "mount.request_done" at DEBUG, or WARN from 3000 ms on.
  void succeed(std::optional<std::string_view> detail = std::nullopt);
  // Records failure: "mount.request_fail" with the error's taxonomy code (never its
  // text) and whether the request may be retried.
  void fail(const Failure& failure);

  // Milliseconds since creation, rounded toward zero; 0 if the clock went back.
  // Measured anew at every call.
  std::uint64_t elapsedMs() const;

 private:
  // Emits the outcome record once; its "elapsed_ms" is measured here.
  void finish(std::string_view event, std::string_view level, std::string_view detail,
              std::optional<std::string_view> errorCode, std::optional<bool> retryable);

  // Constant after construction.
  const std::string flowId_;
  const std::string operation_;
  const std::string peer_;
  const std::string detail_;
  const Clock clock_;
  const double startedAt_;

  // Guards finished_, which goes from false to true once.
  std::mutex lock_;
  bool finished_ = false;
};

}  // namespace corvane

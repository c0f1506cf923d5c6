#include "shared/diagnostics/FileProviderRequestTrace.h"

#include <cmath>
#include <limits>

#include "platform/foundation/Clock.h"
#include "platform/foundation/UUID.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane {
namespace {

constexpr std::uint64_t kWarnAfterMs = 3000;

double wallClock() { return foundation::currentDate().timeIntervalSince1970; }

}  // namespace

FileProviderRequestTrace::FileProviderRequestTrace(std::string operation, std::string peer, std::string detail)
    : FileProviderRequestTrace(std::move(operation), std::move(peer), std::move(detail), wallClock) {}

FileProviderRequestTrace::FileProviderRequestTrace(std::string operation, std::string peer, std::string detail,
                                                   Clock clock)
    : flowId_(foundation::UUID().lowercaseString()),
      operation_(std::move(operation)),
      peer_(std::move(peer)),
      detail_(std::move(detail)),
      clock_(std::move(clock)),
      startedAt_(clock_()) {
  CorvaneFpLog::emit({.event = "mount.request_start",
                      .level = "DEBUG",
                      .peer = peer_,
                      .operation = operation_,
                      .detail = detail_,
                      .flowId = flowId_});
}

std::uint64_t FileProviderRequestTrace::elapsedMs() const {
  const double ms = (clock_() - startedAt_) * 1000.0;
  if (!(ms > 0)) return 0;  // also catches NaN
  if (ms >= static_cast<double>(std::numeric_limits<std::uint64_t>::max())) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(ms);
}

void FileProviderRequestTrace::succeed(std::optional<std::string_view> detail) {
  // The level is decided here and the logged duration read again in finish(),
  // so a success that crosses the boundary in between is logged at DEBUG with a
  // duration past it.
  finish("mount.request_done", elapsedMs() < kWarnAfterMs ? "DEBUG" : "WARN", detail.value_or(detail_), std::nullopt,
         std::nullopt);
}

void FileProviderRequestTrace::fail(const Failure& failure) {
  const std::string code = CorvaneFpLog::errorCode(failure.error, failure.fallbackCode);
  finish("mount.request_fail", failure.level, failure.detail.value_or(detail_), code, failure.retryable);
}

void FileProviderRequestTrace::finish(std::string_view event, std::string_view level, std::string_view detail,
                                      std::optional<std::string_view> errorCode, std::optional<bool> retryable) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (finished_) return;
    finished_ = true;
  }
  // Emitted after the lock is released: no lock is held across a call into the log.
  // The duration is the one at this moment, after the outcome was claimed.
  CorvaneFpLog::emit({.event = event,
                      .level = level,
                      .peer = peer_,
                      .operation = operation_,
                      .detail = detail,
                      .errorCode = errorCode,
                      .retryable = retryable,
                      .elapsedMs = elapsedMs(),
                      .flowId = flowId_});
}

}  // namespace corvane

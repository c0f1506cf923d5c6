// CorvaneFpLog is the extension's structured event log: every diagnostic event
// becomes one JSON line of "Logs/corvane-fileprovider.jsonl" in the App Group
// container, which the host application reads. The bytes are an interface: key
// order, escaping, line endings and the per-process "boot.start" record are fixed.
//
// Threading: emit() and errorCode() may be called from any thread. A record is
// encoded and timestamped on the calling thread and appended by one private serial
// writer queue ("io.corvane.fileprovider.log-writer"), so callers never wait for
// file I/O and lines never interleave. Failures go to the system log (oslog::),
// never to the caller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "shared/vfs_xpc/VfsErrorCode.h"

namespace corvane {

struct CorvaneFpLog {
  // The App Group whose container holds the log (and the upload staging folder).
  static constexpr std::string_view appGroupId = "group.com.driftpin.corvane";

  // One event, for callers that prefer to name the fields they set:
  //   CorvaneFpLog::emit({.event = "mount.xpc_up", .peer = peerId, .generation = g});
  // Texts are read during the call only.
  struct Event {
    std::string_view event;
    std::string_view level = "INFO";
    std::string_view domain = "mount";
    std::optional<std::string_view> peer = std::nullopt;
    std::optional<std::string_view> operation = std::nullopt;  // absent: the event name
    std::optional<std::string_view> detail = std::nullopt;
    std::optional<std::string_view> reason = std::nullopt;
    std::optional<std::string_view> errorCode = std::nullopt;
    std::optional<bool> retryable = std::nullopt;
    std::optional<std::uint64_t> elapsedMs = std::nullopt;
    std::optional<std::uint64_t> epoch = std::nullopt;
    std::optional<std::uint64_t> generation = std::nullopt;
    std::optional<std::string_view> flowId = std::nullopt;
  };

  // Records one event. The first call in a process writes the "boot.start" record
  // ahead of it. Empty texts are left out of the record. `src` is the call site,
  // filled in by the compiler; callers never pass it. Never blocks on the file and
  // never fails.
  static void emit(const Event& event, std::source_location src = std::source_location::current());

  // The taxonomy code to log for `error`: its non-empty "corvane.error.code" text,
  // else "io" for a Cocoa-domain error, else `fallback`; `fallback` without an error.
  static std::string errorCode(const foundation::Error* error, std::string_view fallback = "io");
  static std::string errorCode(const std::optional<foundation::Error>& error, std::string_view fallback = "io") {
    return errorCode(error ? &*error : nullptr, fallback);
  }

  // <App Group container>/Logs, absent without a container. Creates nothing. The
  // writer resolves it anew for every record it appends.
  static std::optional<std::filesystem::path> logsDirectory();

  // Blocks until every record emitted before the call has been appended (or
  // dropped). For tests, benchmarks and an orderly exit; the process also drains
  // the queue at exit, for a second at most.
  static void drain();

  // Forgets that this process wrote its boot record, so the next emit writes one
  // again. Tests only.
  static void resetForTesting();
};

}  // namespace corvane

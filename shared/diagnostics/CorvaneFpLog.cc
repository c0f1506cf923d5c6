#include "shared/diagnostics/CorvaneFpLog.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ISO8601.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLogFile.h"
#include "shared/diagnostics/CorvaneFpLogRecord.h"
#include "shared/diagnostics/FileProviderCallbackLoggingPolicy.h"

namespace corvane {
namespace {

using CorvaneFpLogRecord::Fields;
using CorvaneFpLogRecord::slot;

constexpr std::string_view kHost = "mac-fp";
constexpr std::string_view kTarget = "FileProvider";
constexpr std::string_view kFallbackVersion = "0.9.0";

// Process-wide log state, built on first use. Never destroyed: emit() may run on
// other threads while the process exits.
struct LogState {
  LogState() : writeQueue("io.corvane.fileprovider.log-writer", dispatch::QualityOfService::utility) {
    // Records still queued at exit reach the file before the process ends.
    std::atexit([] { drainUnlessOnWriter(); });
  }

  static void drainUnlessOnWriter() {
    if (!state().writeQueue.isCurrent()) state().writeQueue.sync([] {});
  }

  static LogState& state() {
    static LogState* shared = new LogState;
    return *shared;
  }

  // Guards the check-and-set of the boot flag and the enqueueing of the boot
  // record, so that the boot record precedes every other record of the process.
  // Never held while waiting for the queue or the file.
  std::mutex bootMutex;
  // Set under bootMutex once the boot record is enqueued (or could not be encoded);
  // read without the lock on every emit.
  std::atomic<bool> didBoot{false};

  // Runs every append, in enqueue order. Last member: its worker may touch the
  // members above as soon as it starts.
  dispatch::Queue writeQueue;
};

constexpr std::string_view lastPathComponent(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string isoNow() { return foundation::iso8601String(foundation::currentDate()); }

std::string productVersion() {
  return foundation::Bundle::main()
      .objectForInfoDictionaryKey("CFBundleShortVersionString")
      .value_or(std::string(kFallbackVersion));
}

// Runs on writeQueue. The line needs no UTF-8 check here: encodeLine only ever
// joins ASCII keys with fragments whose text was checked. The log folder is
// looked up for every record, so a container that appears, goes or moves
// while the process runs is followed from the next record on.
void write(const std::string& line) {
  const std::optional<std::filesystem::path> logsFolder = CorvaneFpLog::logsDirectory();
  if (!logsFolder) {
    oslog::log(oslog::Type::Error, "[FPLog] App Group log directory unavailable");
    return;
  }
  CorvaneFpLogFile::append(*logsFolder, *logsFolder / CorvaneFpLogFile::kFileName, line);
}

void enqueue(std::string line) {
  static_assert(FileProviderCallbackLoggingPolicy::delivery == FileProviderCallbackLoggingPolicy::Delivery::asynchronous,
                "records go through the writer queue; an emitting thread never waits on the file");
  LogState::state().writeQueue.async([line = std::move(line)] { write(line); });
}

void writeBootIfNeeded() {
  LogState& state = LogState::state();
  if (state.didBoot.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> hold(state.bootMutex);
  if (state.didBoot.load(std::memory_order_relaxed)) return;

  const foundation::Bundle& bundle = foundation::Bundle::main();
  const std::optional<std::filesystem::path> folder = CorvaneFpLog::logsDirectory();
  const std::string banner =
      "========== CORVANE PROCESS START ========== log_dir=" +
      (folder ? folder->string() : std::string("unavailable")) +
      " bundle_id=" + bundle.bundleIdentifier().value_or("unknown") +
      " bundle_build=" + bundle.objectForInfoDictionaryKey("CFBundleVersion").value_or("unknown") +
      " executable=" + bundle.objectForInfoDictionaryKey("CFBundleExecutable").value_or("unknown");
  const std::string ts = isoNow();
  const std::string version = productVersion();
  // The boot record names this source file, without a line.
  static constexpr std::string_view kSource = lastPathComponent(__FILE__);

  Fields fields;
  fields[slot("ts")] = ts;
  fields[slot("level")] = std::string_view("INFO");
  fields[slot("host")] = kHost;
  fields[slot("process_id")] = static_cast<std::int64_t>(::getpid());
  fields[slot("os")] = std::string_view("macos");
  fields[slot("arch")] = foundation::Bundle::architectureName();
  fields[slot("build")] = foundation::Bundle::buildConfiguration();
  fields[slot("event")] = std::string_view("boot.start");
  fields[slot("domain")] = std::string_view("boot");
  fields[slot("operation")] = std::string_view("boot.start");
  fields[slot("detail")] = banner;
  fields[slot("target")] = kTarget;
  fields[slot("src")] = kSource;
  fields[slot("version")] = version;

  if (std::optional<std::string> line = CorvaneFpLogRecord::encodeLine(fields)) {
    enqueue(std::move(*line));
  } else {
    oslog::log(oslog::Type::Error, "[FPLog] failed to encode boot.start");
  }
  // Set even when encoding failed: a process tries its boot record once.
  state.didBoot.store(true, std::memory_order_release);
}

std::optional<std::string> encodedLine(const CorvaneFpLog::Event& e, const std::source_location& src) {
  const std::string ts = isoNow();
  const std::string version = productVersion();
  std::string source(lastPathComponent(src.file_name()));
  source += ':';
  source += std::to_string(src.line());

  Fields fields;
  fields[slot("ts")] = ts;
  fields[slot("level")] = e.level;
  fields[slot("host")] = kHost;
  fields[slot("event")] = e.event;
  fields[slot("domain")] = e.domain;
  if (e.peer) fields[slot("peer")] = *e.peer;
  fields[slot("operation")] = e.operation.value_or(e.event);
  if (e.detail) fields[slot("detail")] = *e.detail;
  if (e.epoch) fields[slot("epoch")] = *e.epoch;
  if (e.generation) fields[slot("generation")] = *e.generation;
  if (e.flowId) fields[slot("flow_id")] = *e.flowId;
  if (e.errorCode) fields[slot("error_code")] = *e.errorCode;
  if (e.retryable) fields[slot("retryable")] = *e.retryable;
  if (e.elapsedMs) fields[slot("elapsed_ms")] = *e.elapsedMs;
  if (e.reason) fields[slot("reason")] = *e.reason;
  fields[slot("target")] = kTarget;
  fields[slot("src")] = std::string_view(source);
  fields[slot("version")] = version;
  return CorvaneFpLogRecord::encodeLine(fields);
}

}  // namespace

void CorvaneFpLog::emit(const Event& event, std::source_location src) {
  writeBootIfNeeded();
  if (std::optional<std::string> line = encodedLine(event, src)) {
    enqueue(std::move(*line));
  } else {
    oslog::log(oslog::Type::Error, "[FPLog] failed to encode event %{public}@", event.event);
  }
}

std::string CorvaneFpLog::errorCode(const foundation::Error* error, std::string_view fallback) {
  if (!error) return std::string(fallback);
  if (const std::string* code = error->stringForKey(kVfsErrorCodeKey); code && !code->empty()) {
    return *code;
  }
  if (error->domain() == foundation::kCocoaErrorDomain) return "io";
  return std::string(fallback);
}

std::optional<std::filesystem::path> CorvaneFpLog::logsDirectory() {
  std::optional<std::filesystem::path> container = foundation::FileManager::containerURL(std::string(appGroupId));
  if (!container) return std::nullopt;
  return *container / "Logs";
}

void CorvaneFpLog::drain() { LogState::drainUnlessOnWriter(); }

void CorvaneFpLog::resetForTesting() {
  LogState& state = LogState::state();
  std::lock_guard<std::mutex> hold(state.bootMutex);
  state.didBoot.store(false, std::memory_order_release);
}

}  // namespace corvane

#include "platform/oslog/Sink.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace oslog {
namespace {

constexpr const char* kIdent = "corvane-fileprovider";

int priority(Type type) {
  switch (type) {
    case Type::Debug:
      return LOG_DEBUG;
    case Type::Info:
      return LOG_INFO;
    case Type::Default:
      return LOG_NOTICE;
    case Type::Error:
      return LOG_ERR;
    case Type::Fault:
      return LOG_CRIT;
  }
  return LOG_NOTICE;
}

// Guards the installed sink; held only to copy or swap the pointer.
std::mutex& sinkMutex() {
  static std::mutex* mutex = new std::mutex;  // never destroyed: logging may outlive static teardown
  return *mutex;
}

std::shared_ptr<Sink>& installed() {
  static auto* sink = new std::shared_ptr<Sink>;
  return *sink;
}

std::shared_ptr<Sink> defaultSink() {
  static auto* sink = new std::shared_ptr<Sink>(std::make_shared<SyslogSink>());
  return *sink;
}

}  // namespace

SyslogSink::SyslogSink() {
  const char* mode = std::getenv("CORVANE_OSLOG");
  mirrorToStderr_ = mode && std::string_view(mode) == "stderr";
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog(kIdent, LOG_PID, LOG_USER); });
}

bool SyslogSink::loggerListening() {
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now >= nextLookNs_.load(std::memory_order_relaxed)) {
    struct stat st {};
    listening_.store(::stat(_PATH_LOG, &st) == 0 && S_ISSOCK(st.st_mode), std::memory_order_relaxed);
    nextLookNs_.store(now + 1'000'000'000, std::memory_order_relaxed);
  }
  return listening_.load(std::memory_order_relaxed);
}

void SyslogSink::write(Type type, std::string_view message) {
  const std::string text(message);
  if (loggerListening()) ::syslog(priority(type), "%s", text.c_str());
  if (mirrorToStderr_) {
    // One write(2) per message, so lines from several threads do not interleave.
    std::string line = std::string(kIdent) + "[" + std::to_string(::getpid()) + "]: " + text + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  }
}

std::shared_ptr<Sink> currentSink() {
  {
    std::lock_guard<std::mutex> hold(sinkMutex());
    if (installed()) return installed();
  }
  return defaultSink();
}

std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink) {
  std::lock_guard<std::mutex> hold(sinkMutex());
  std::shared_ptr<Sink> previous = std::move(installed());
  installed() = std::move(sink);
  return previous;
}

}  // namespace oslog

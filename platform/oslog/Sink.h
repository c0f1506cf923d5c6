// Where oslog:: messages go. The process has one sink at a time: by default the
// system log (syslog(3), ident "corvane-fileprovider"), mirrored to standard error
// when CORVANE_OSLOG=stderr; tests install a CapturingSink instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/oslog/Log.h"

namespace oslog {

// Receives formatted messages. write() may be called from any thread at once, so
// implementations must be thread-safe, and must not call oslog::log themselves.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(Type type, std::string_view message) = 0;
};

// The default sink. Opens the system log once per process (ident
// "corvane-fileprovider", with the process id); reads CORVANE_OSLOG when constructed.
// Where no logger listens (a container, a minimal system), syslog(3) would try
// to reach one again on every message; the sink looks for its socket at most
// once a second instead, and drops messages while there is none.
class SyslogSink final : public Sink {
 public:
  SyslogSink();
  void write(Type type, std::string_view message) override;

 private:
  bool loggerListening();

  bool mirrorToStderr_;
  std::atomic<bool> listening_{false};
  std::atomic<std::int64_t> nextLookNs_{0};  // steady clock
};

// The sink in force; never null.
std::shared_ptr<Sink> currentSink();

// Installs `sink` for the whole process (null restores the default) and returns
// the one it replaces. A message already being written may still reach the old sink.
std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink);

// Installs a sink for the lifetime of the object, then puts the previous one back.
class ScopedSink {
 public:
  explicit ScopedSink(std::shared_ptr<Sink> sink) : previous_(setSink(std::move(sink))) {}
  ~ScopedSink() { setSink(std::move(previous_)); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  std::shared_ptr<Sink> previous_;
};

}  // namespace oslog

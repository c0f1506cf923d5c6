// ScriptSession: everything one script run drives — one domain created through
// the domain manager (and so one FileProviderExtension with its lookup socket),
// the host that serves the domain's peer, and the cursors of the "log" and
// "syslog" ops. The host is either in process (corvane-fp script: the host
// library with its fault hook, connected only when the script says so) or
// another process that keeps its own link up (corvane-fp demo).
//
// Threading: made, used and destroyed on the runner's thread. The system-log
// capture it installs for its lifetime takes messages from any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/CompletionRecorder.h"
#include "framework/DomainManager.h"
#include "host/HostLink.h"
#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/foundation/Result.h"
#include "platform/oslog/Sink.h"

namespace corvane::framework {

struct ScriptSessionOptions {
  std::string domainId = "p1";
  std::string displayName;
  // The folder the in-process host serves; absent: a new empty temporary folder,
  // removed at the end of the run.
  std::optional<std::filesystem::path> share;
  // False: the domain's host is another process, which activates the link by
  // itself; "connect" then waits for that activation.
  bool inProcessHost = true;
};

class ScriptSession {
 public:
  // How long any awaited framework call, connection or disconnection may take.
  static constexpr std::chrono::milliseconds kTimeout{10000};

  // Adds the domain, opens the in-process host's service (not yet connected)
  // and starts capturing the system log. An error says what could not be set up.
  [[nodiscard]] static foundation::Result<std::unique_ptr<ScriptSession>> open(ScriptSessionOptions options);
  // Closes the host's link, removes the domain (invalidating the extension),
  // saves the host's state, waits for the event log to drain, puts the system
  // log back and removes a temporary share.
  ~ScriptSession();
  ScriptSession(const ScriptSession&) = delete;
  ScriptSession& operator=(const ScriptSession&) = delete;

  const std::string& domainId() const { return options_.domainId; }
  const std::filesystem::path& shareFolder() const { return share_; }
  fileprovider::ReplicatedExtension& extension() { return *extension_; }
  // The in-process host's link; null when the host is another process.
  host::HostLink* hostLink() { return hostLink_.get(); }
  CompletionRecorder& recorder() { return recorder_; }

  // Whether the extension's link to the host is ready now.
  bool linkReady();
  // Polls until the link's readiness is `ready`; false after kTimeout.
  bool waitForLink(bool ready);

  // The event log's file, absent without an App Group container.
  std::optional<std::filesystem::path> eventLogFile() const;
  // Waits for the event log's writer, then returns the complete lines appended
  // since the previous call (since the session opened, the first time).
  std::vector<std::string> takeEventLogLines();
  // The system-log messages written since the previous call, as rendered.
  std::vector<std::string> takeSystemLogLines();

 private:
  class SystemLogCapture;
  explicit ScriptSession(ScriptSessionOptions options);

  const ScriptSessionOptions options_;
  std::filesystem::path share_;
  bool removeShare_ = false;

  std::shared_ptr<SystemLogCapture> systemLog_;
  std::shared_ptr<oslog::Sink> previousSink_;
  std::uintmax_t eventLogOffset_ = 0;

  CompletionRecorder recorder_;
  DomainManager domains_;
  fileprovider::ReplicatedExtensionPtr extension_;
  std::shared_ptr<host::HostLink> hostLink_;
};

}  // namespace corvane::framework

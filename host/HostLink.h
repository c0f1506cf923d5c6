// HostLink: the host's end of one peer's link. It asks the framework for the
// extension's service "io.corvane.mac.vfs-host" of domain = peer id, connects,
// exports the peer's HostVfsService on the connection (HostVfsAdapter) and asks
// the extension to activate the connection. Used by corvane-vfs-host (start():
// keep the link up) and by the script runner (connect()/disconnect(): one step
// at a time).
//
// Reconnection: while started, a lost link (interrupted or invalidated) or a
// failed attempt (lookup, connection or activation) is retried after a delay
// that starts at firstRetryDelay, doubles after each failed attempt up to
// maximumRetryDelay, and starts over once an activation succeeds. Each event is
// reported as one line: "activated", "link lost", "… failed: …", "retrying in N ms".
//
// Threading: all methods are thread-safe; connect() blocks its caller. Attempts
// of start() run on the link's own thread, one at a time with connect()'s.
// Connection handlers run on the connection's queue and never own the link: its
// teardown (and the host's final state save) always runs on its owner's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/HostFaults.h"
#include "host/HostVfsService.h"
#include "host/WorkerPool.h"
#include "platform/foundation/Error.h"
#include "platform/xpc/Connection.h"

namespace corvane::host {

struct HostLinkOptions {
  std::chrono::milliseconds firstRetryDelay{100};
  std::chrono::milliseconds maximumRetryDelay{5000};
  // How long an attempt waits for the lookup, and then for the activation's answer.
  std::chrono::milliseconds attemptTimeout{10000};
  // Threads that run the peer's file work.
  std::size_t workerThreads = 4;
  // Receives each event line (no line feed), with the link's lock held: it must
  // not call back into the link. Default: standard error, as
  // "corvane-vfs-host: peer "ID": LINE".
  std::function<void(const std::string& line)> report;
};

// What a link offers the extension on each connection it makes: a peer's share.
class ServedShare {
 public:
  virtual ~ServedShare() = default;
  // Names the domain the link reaches.
  virtual const std::string& peerId() const = 0;
  // Exports the share's VfsXpcProtocol object on `connection` (not yet resumed);
  // its file work runs on `pool`, and `faults` (test faults) apply where it can.
  virtual void exportOn(const std::shared_ptr<xpc::Connection>& connection, std::weak_ptr<WorkerPool> pool,
                        std::shared_ptr<const HostFaults> faults) = 0;
};

class HostLink {
 public:
  // Serves `service` (its peer id names the domain to reach). Does not connect.
  static std::shared_ptr<HostLink> create(std::shared_ptr<HostVfsService> service, HostLinkOptions options = {});
  // Serves `share`, wherever it is.
  static std::shared_ptr<HostLink> create(std::shared_ptr<ServedShare> share, HostLinkOptions options = {});
  // Stops retrying, closes the connection, then finishes the file work already
  // queued (its replies go nowhere) before returning.
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  const std::string& peerId() const { return peerId_; }
  // The faults this link's connections answer with; set and clear them at any time.
  HostFaults& faults() { return *faults_; }

  // Keeps the link up: the first attempt starts now, on the link's thread, and
  // every loss or failure is retried with back-off until disconnect(). Returns at once.
  void start();

  // One attempt on the calling thread: looks the service up, connects and asks
  // the extension to activate `activatePeerId` (default: the served peer).
  // Absent when the extension activated the connection, which then replaces any
  // earlier one; otherwise the error of the step that failed, and the attempt's
  // connection is closed. A later loss is retried only when start() was called.
  std::optional<foundation::Error> connect(std::optional<std::string> activatePeerId = std::nullopt);

  // Closes the connection (and any attempt in progress) and stops start()'s
  // reconnection; the extension sees the link end.
  void disconnect();

  // True from a successful activation until the link is lost or disconnected.
  bool isActivated() const;

 private:
  HostLink(std::shared_ptr<ServedShare> share, HostLinkOptions options);

  // The attempt itself; serialised by attemptMutex_.
  std::optional<foundation::Error> attempt(const std::string& activatePeerId);
  // Sets the handlers that report the loss of `connection`.
  void watch(xpc::Connection& connection);
  // On the connection's queue: `connection` ended.
  void lost(const xpc::Connection* connection, const char* how);
  // Reports `line` and, when started, plans the next attempt. Needs mutex_.
  void failedLocked(const std::string& line);
  void reportLocked(const std::string& line) const;
  // The link's thread: runs start()'s attempts when they are due.
  void run();
  static void close(const std::shared_ptr<xpc::Connection>& connection);

  // Constant after construction.
  const std::string peerId_;
  const std::shared_ptr<ServedShare> share_;
  const HostLinkOptions options_;
  const std::shared_ptr<HostFaults> faults_;

  // What the connections' handlers hold instead of the link. The destructor cuts
  // it first, after any handler already inside lost() has left.
  struct HandlerRelay {
    std::mutex mutex;
    HostLink* link = nullptr;
  };
  const std::shared_ptr<HandlerRelay> relay_;

  // Owned here alone (adapters hold it weakly), so the destructor can finish its work.
  std::shared_ptr<WorkerPool> pool_;

  // One attempt at a time, from the link's thread or connect().
  std::mutex attemptMutex_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<xpc::Connection> connection_;  // the activated one
  std::shared_ptr<xpc::Connection> attempting_;  // the one being activated
  bool attemptAbandoned_ = false;                // attempting_ ended or was disconnected
  bool keepUp_ = false;
  bool stopping_ = false;
  std::optional<std::chrono::steady_clock::time_point> nextAttempt_;
  std::chrono::milliseconds retryDelay_;

  std::thread thread_;  // last: started once everything above exists
};

}  // namespace corvane::host

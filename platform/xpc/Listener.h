// xpc::Listener: accepts connections on a Unix-domain socket — the stand-in for
// NSXPCListener. anonymous() makes a socket in a fresh private (0700) folder; its
// endpoint() can be handed to another process. Connections from another user
// (SO_PEERCRED) are closed at once and never reach the delegate.
//
// Threading: the delegate is asked on the listener's accept thread, one connection
// at a time. It configures and resumes the connection it accepts; a connection it
// refuses is invalidated. The listener holds its delegate weakly.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/foundation/Error.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/ListenerEndpoint.h"
#include "platform/xpc/Socket.h"

namespace xpc {

class Listener;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // listener:shouldAcceptNewConnection:
  virtual bool shouldAcceptNewConnection(Listener& listener, const std::shared_ptr<Connection>& connection) = 0;
};

class Listener {
 public:
  // A listener in a fresh 0700 folder under socket::runtimeDirectory(). Never null;
  // when the socket cannot be made, error() says why and endpoint() is invalid.
  static std::shared_ptr<Listener> anonymous();
  // A listener at a fixed path; the folder holding it is made private (0700) and a
  // stale socket left at the path is replaced.
  static std::shared_ptr<Listener> atPath(const std::filesystem::path& socketPath);

  // Stops accepting, then removes the socket (and the folder anonymous() made).
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  ListenerEndpoint endpoint() const;
  const std::optional<foundation::Error>& error() const { return error_; }

  void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
  // Starts accepting. Once only.
  void resume();
  // Stops accepting; connections already accepted are not affected. Idempotent.
  void invalidate();

 private:
  struct Shared;
  Listener() = default;
  void bindAt(const std::filesystem::path& socketPath);
  // Holds the listener by plain pointer: the destructor stops and joins this
  // thread, so the listener outlives every use. Owning it here (even briefly)
  // would let the last release, and so the folder's removal, happen on this
  // thread after the owner believed the listener gone.
  static void acceptLoop(Listener* listener, std::shared_ptr<Shared> shared);

  // Constant after construction.
  std::optional<foundation::Error> error_;
  std::filesystem::path socketPath_;
  std::filesystem::path ownedFolder_;  // removed with the listener (anonymous only)
  std::shared_ptr<Shared> shared_;     // descriptors shared with the accept thread

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  std::weak_ptr<ListenerDelegate> delegate_;
  std::thread acceptThread_;
  bool resumed_ = false;
};

}  // namespace xpc

// VfsFileProviderServiceSource: the door through which the host reaches the
// extension. It owns an anonymous listener under the service name
// "io.corvane.mac.vfs-host"; every accepted connection exports a fresh control
// session and is kept in the pending map until it is activated, refused, or
// invalidated. Refers to its extension weakly.
#pragma once

#include <memory>
#include <unordered_map>

#include "platform/dispatch/Queue.h"
#include "platform/fileprovider/ServiceSource.h"
#include "platform/xpc/Listener.h"

namespace corvane {

class FileProviderExtension;

class VfsFileProviderServiceSource final : public fileprovider::ServiceSource,
                                           public xpc::ListenerDelegate,
                                           public std::enable_shared_from_this<VfsFileProviderServiceSource> {
 public:
  // Makes the listener, becomes its delegate and starts it.
  static std::shared_ptr<VfsFileProviderServiceSource> create(std::weak_ptr<FileProviderExtension> owner);

  std::string serviceName() const override;
  bool isRestricted() const override { return true; }
  xpc::ListenerEndpoint makeListenerEndpoint() override;

  // On the listener's accept thread. Refuses every connection once the owner is gone.
  bool shouldAcceptNewConnection(xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) override;

  // Forgets a pending connection (no-op when it is not pending). Any thread.
  void releasePending(const xpc::Connection* connection);

  // For tests: how many accepted connections wait for activation.
  std::size_t pendingCountForTesting();

 private:
  explicit VfsFileProviderServiceSource(std::weak_ptr<FileProviderExtension> owner);

  // Constant after construction.
  const std::weak_ptr<FileProviderExtension> owner_;
  const std::shared_ptr<xpc::Listener> listener_;

  // Guards pendingConnections_: insertion synchronously from the accept thread,
  // removal asynchronously from any queue.
  dispatch::Queue pendingQueue_;
  // Keyed by the connection's identity; holds the only strong reference the
  // extension keeps to a connection before activation.
  std::unordered_map<const xpc::Connection*, std::shared_ptr<xpc::Connection>> pendingConnections_;
};

}  // namespace corvane

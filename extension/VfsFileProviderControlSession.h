// VfsFileProviderControlSession: the object each accepted host connection exports.
// Its one request, "activateHostWithPeerId:reply:", makes the extension adopt that
// same connection as its host link, and answers with the probe's outcome.
// Holds the extension and the source weakly, the connection strongly (the
// connection releases the session when it ends).
#pragma once

#include <memory>
#include <string>

#include "platform/xpc/Connection.h"
#include "shared/vfs_xpc/VfsFileProviderControlProtocol.h"

namespace corvane {

class FileProviderExtension;
class VfsFileProviderServiceSource;

class VfsFileProviderControlSession final : public VfsFileProviderControlProtocol,
                                            public std::enable_shared_from_this<VfsFileProviderControlSession> {
 public:
  VfsFileProviderControlSession(std::weak_ptr<FileProviderExtension> owner,
                                std::weak_ptr<VfsFileProviderServiceSource> source,
                                std::shared_ptr<xpc::Connection> connection);

  // Runs on the connection's queue; the reply is sent from wherever the
  // activation completes.
  void activateHost(const std::string& peerId, ErrorReply reply) override;

  // Host domain, code -16, the message as its description.
  static foundation::Error connectionError(std::string message);

 private:
  void releasePending() const;

  const std::weak_ptr<FileProviderExtension> owner_;
  const std::weak_ptr<VfsFileProviderServiceSource> source_;
  const std::shared_ptr<xpc::Connection> connection_;
};

}  // namespace corvane

#include "extension/VfsFileProviderControlSession.h"

#include "extension/FileProviderErrors.h"
#include "extension/FileProviderExtension.h"
#include "extension/VfsFileProviderServiceSource.h"

namespace corvane {

VfsFileProviderControlSession::VfsFileProviderControlSession(std::weak_ptr<FileProviderExtension> owner,
                                                             std::weak_ptr<VfsFileProviderServiceSource> source,
                                                             std::shared_ptr<xpc::Connection> connection)
    : owner_(std::move(owner)), source_(std::move(source)), connection_(std::move(connection)) {}

foundation::Error VfsFileProviderControlSession::connectionError(std::string message) {
  return vfsServiceUnavailableError(std::move(message));
}

void VfsFileProviderControlSession::releasePending() const {
  if (auto source = source_.lock()) source->releasePending(connection_.get());
}

void VfsFileProviderControlSession::activateHost(const std::string& peerId, ErrorReply reply) {
  auto owner = owner_.lock();
  if (!owner) {
    releasePending();
    reply(connectionError("File Provider extension unavailable"));
    return;
  }
  if (peerId != owner->mountedPeerId()) {
    releasePending();
    reply(connectionError("File Provider domain does not match requested peer"));
    return;
  }
  owner->activateHostConnection(
      connection_, [weak = weak_from_this(), reply = std::move(reply)](std::optional<foundation::Error> error) {
        auto session = weak.lock();
        if (!session) return;
        session->releasePending();
        reply(std::move(error));
      });
}

}  // namespace corvane

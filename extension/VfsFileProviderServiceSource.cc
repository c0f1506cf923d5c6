#include "extension/VfsFileProviderServiceSource.h"

#include "extension/FileProviderExtension.h"
#include "extension/VfsFileProviderControlSession.h"
#include "shared/vfs_xpc/VfsFileProviderControlProtocol.h"
#include "shared/vfs_xpc/VfsXpcEndpointConfiguration.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"

namespace corvane {

std::shared_ptr<VfsFileProviderServiceSource> VfsFileProviderServiceSource::create(
    std::weak_ptr<FileProviderExtension> owner) {
  std::shared_ptr<VfsFileProviderServiceSource> source(new VfsFileProviderServiceSource(std::move(owner)));
  source->listener_->setDelegate(source);
  source->listener_->resume();
  return source;
}

VfsFileProviderServiceSource::VfsFileProviderServiceSource(std::weak_ptr<FileProviderExtension> owner)
    : owner_(std::move(owner)),
      listener_(xpc::Listener::anonymous()),
      pendingQueue_("io.corvane.fileprovider.pending-host-connections") {}

std::string VfsFileProviderServiceSource::serviceName() const {
  return VfsXpcEndpointConfiguration::fileProviderServiceName;
}

xpc::ListenerEndpoint VfsFileProviderServiceSource::makeListenerEndpoint() { return listener_->endpoint(); }

bool VfsFileProviderServiceSource::shouldAcceptNewConnection(xpc::Listener&,
                                                             const std::shared_ptr<xpc::Connection>& connection) {
  // Checked, not held: owning the extension here, even for the length of this
  // call, could make this listener thread the one that releases it last.
  if (owner_.expired()) return false;
  auto session = std::make_shared<VfsFileProviderControlSession>(owner_, weak_from_this(), connection);
  pendingQueue_.sync([&] { pendingConnections_[connection.get()] = connection; });

  connection->setExportedInterface(VfsFileProviderControlInterfaceBuilder::createInterface());
  connection->setExportedObject<VfsFileProviderControlProtocol>(session);
  connection->setRemoteObjectInterface(VfsXpcInterfaceBuilder::createInterface());
  std::weak_ptr<VfsFileProviderServiceSource> weakSource = weak_from_this();
  std::weak_ptr<xpc::Connection> weakConnection = connection;
  connection->setInvalidationHandler([weakSource, weakConnection] {
    auto source = weakSource.lock();
    auto accepted = weakConnection.lock();
    if (source && accepted) source->releasePending(accepted.get());
  });
  connection->resume();
  return true;
}

void VfsFileProviderServiceSource::releasePending(const xpc::Connection* connection) {
  pendingQueue_.async([weak = weak_from_this(), connection] {
    if (auto self = weak.lock()) self->pendingConnections_.erase(connection);
  });
}

std::size_t VfsFileProviderServiceSource::pendingCountForTesting() {
  return pendingQueue_.sync([&] { return pendingConnections_.size(); });
}

}  // namespace corvane

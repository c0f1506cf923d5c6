#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"

#include "platform/xpc/ClassRegistry.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::VfsXpcInterfaceBuilder {

std::shared_ptr<xpc::Interface> createInterface() {
  auto interface = xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec());
  setReplyClasses(*interface);
  return interface;
}

void setReplyClasses(xpc::Interface& interface) {
  registerVfsXpcClasses();
  for (const auto& row : vfsXpcMethodTable()) {
    if (row.replyAllowList.empty()) continue;
    interface.setClasses(xpc::ClassRegistry::named(row.replyAllowList), vfsXpcSelector(row.method), 0, true);
  }
}

}  // namespace corvane::VfsXpcInterfaceBuilder

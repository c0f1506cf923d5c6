#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"

#include "platform/xpc/ClassRegistry.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::VfsXpcInterfaceBuilder {

std::shared_ptr<xpc::Interface> createInterface() {
  registerVfsXpcClasses();
  auto interface = xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec());
  interface->setClasses(xpc::ClassRegistry::named({"NSArray", "VfsFileEntryDto"}), VfsXpcSelectors::listDirectory, 0,
                        true);
  interface->setClasses(xpc::ClassRegistry::named({"NSArray", "VfsChangesResultDto", "VfsFsChangeDto",
                                                   "VfsFileEntryDto", "NSString"}),
                        VfsXpcSelectors::readChanges, 0, true);
  return interface;
}

}  // namespace corvane::VfsXpcInterfaceBuilder

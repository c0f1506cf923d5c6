// Builds the interface that describes VfsXpcProtocol, with the class allow-lists
// that its listing and change replies need. Installed as the remote object
// interface of the host connection.
#pragma once

#include <memory>

#include "platform/xpc/Interface.h"

namespace corvane::VfsXpcInterfaceBuilder {

// A new interface each time. Listing replies admit {NSArray, VfsFileEntryDto};
// change replies admit {NSArray, VfsChangesResultDto, VfsFsChangeDto,
// VfsFileEntryDto, NSString}; every other argument admits its declared class.
std::shared_ptr<xpc::Interface> createInterface();

// Those allow-lists, set on `interface`, whose protocol is VfsXpcProtocol or
// adopts it.
void setReplyClasses(xpc::Interface& interface);

}  // namespace corvane::VfsXpcInterfaceBuilder

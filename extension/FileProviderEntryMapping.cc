#include "extension/FileProviderEntryMapping.h"

#include "platform/foundation/PathString.h"
#include "shared/diagnostics/FileProviderItemIdentifierCodec.h"

namespace corvane {

std::string EntryFolder::childIdentifier(std::string_view name) const {
  if (joining == Joining::listed) return FileProviderItemIdentifierCodec::childIdentifier(peerId, path, name);
  std::string child;
  child.reserve(peerId.size() + 3 + path.size() + name.size());
  child.append(peerId).append("::");
  foundation::PathString::appendPathComponent(child, path, name);
  return child;
}

}  // namespace corvane

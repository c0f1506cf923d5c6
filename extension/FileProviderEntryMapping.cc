#include "extension/FileProviderEntryMapping.h"

#include "platform/foundation/PathString.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane {

std::string EntryFolder::childIdentifier(std::string_view name) const {
  if (joining == Joining::listed) return FileProviderItemIdentifierCodec::childIdentifier(peerId, path, name);
  return FileProviderItemIdentifierCodec::identifier(peerId,
                                                     foundation::PathString::appendingPathComponent(path, name));
}

}  // namespace corvane

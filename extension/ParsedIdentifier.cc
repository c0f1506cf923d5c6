#include "extension/ParsedIdentifier.h"

#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane {

std::optional<ParsedIdentifier> ParsedIdentifier::parse(const fileprovider::ItemIdentifier& identifier) {
  auto parsed = FileProviderItemIdentifierCodec::parse(identifier.rawValue());
  if (!parsed) return std::nullopt;
  auto parent = parsed->parentRawIdentifier ? fileprovider::ItemIdentifier(*parsed->parentRawIdentifier)
                                            : fileprovider::ItemIdentifier::rootContainer();
  return ParsedIdentifier{std::move(parsed->peerId), std::move(parsed->path), std::move(parent)};
}

}  // namespace corvane

// ParsedIdentifier: a peer item's identifier read into peer, path and parent,
// with the parent as a framework identifier (the root container for items in the
// peer's top folder). Request code parses through this type only.
#pragma once

#include <optional>
#include <string>

#include "platform/fileprovider/ItemIdentifier.h"

namespace corvane {

struct ParsedIdentifier {
  std::string peerId;
  std::string path;
  fileprovider::ItemIdentifier parentIdentifier;

  static std::optional<ParsedIdentifier> parse(const fileprovider::ItemIdentifier& identifier);
};

}  // namespace corvane

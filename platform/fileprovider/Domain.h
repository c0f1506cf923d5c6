// fileprovider::Domain stands in for NSFileProviderDomain: one mounted peer.
// The identifier is the peer identifier, passed through unchanged.
#pragma once

#include <string>

namespace fileprovider {

struct Domain {
  std::string identifier;
  std::string displayName;
};

// NSFileProviderRequest: who asked. The extension never consults it.
struct Request {};

}  // namespace fileprovider

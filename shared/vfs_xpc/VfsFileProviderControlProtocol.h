// VfsFileProviderControlProtocol: what the extension exports on every connection
// its service source accepts. The host calls "activateHostWithPeerId:reply:" to make
// that same connection the extension's host link; the reply carries the probe's
// outcome (nil when the link is ready).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Protocol.h"

namespace corvane {

class VfsFileProviderControlProtocol {
 public:
  using ErrorReply = std::function<void(std::optional<foundation::Error> error)>;

  static constexpr const char* activateHostSelector = "activateHostWithPeerId:reply:";

  virtual ~VfsFileProviderControlProtocol() = default;
  virtual void activateHost(const std::string& peerId, ErrorReply reply) = 0;
};

namespace VfsFileProviderControlInterfaceBuilder {
// A new interface each time; the protocol needs no class allow-lists.
std::shared_ptr<xpc::Interface> createInterface();
}  // namespace VfsFileProviderControlInterfaceBuilder

}  // namespace corvane

template <>
struct xpc::ProtocolTraits<corvane::VfsFileProviderControlProtocol> {
  // "VfsFileProviderControlProtocol": one operation, peer id in, error out.
  static const xpc::ProtocolSpec& spec();
  static std::shared_ptr<corvane::VfsFileProviderControlProtocol> makeProxy(xpc::RemoteChannel channel);
  static std::shared_ptr<xpc::ExportedObject> makeDispatcher(
      std::shared_ptr<corvane::VfsFileProviderControlProtocol> object);
};

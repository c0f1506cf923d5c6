// XpcProxyProvider: how request code gets the host proxy. The extension object is
// the only provider; enumerators hold it weakly, so they never keep it alive.
#pragma once

#include <functional>
#include <memory>

#include "platform/foundation/Error.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane {

class XpcProxyProvider {
 public:
  // Runs instead of a reply when a message sent through the proxy is not answered
  // because the link broke (4097/4099) or the reply was refused (4101). Request code
  // uses it to end the request that the lost reply would have ended.
  using UndeliveredHandler = std::function<void(const foundation::Error& error)>;

  virtual ~XpcProxyProvider() = default;

  // The proxy of the ready host link, or null when the link is not ready. Never
  // waits: not for readiness, not on the network. Must not be called on the
  // provider's own host-link queue.
  virtual std::shared_ptr<VfsXpcProtocol> acquireProxy(UndeliveredHandler onUndelivered = nullptr) = 0;
};

}  // namespace corvane

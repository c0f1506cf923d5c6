// The framework's service lookup as other processes reach it: one per domain, on
// the domain's manager socket. A host asks for a service by name and gets the
// listener endpoint of the extension's service source for the domain's root.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Protocol.h"

namespace fileprovider {

class ServiceLookupProtocol {
 public:
  // The endpoint's text form, or the reason there is none.
  using EndpointReply =
      std::function<void(std::optional<std::string> endpoint, std::optional<foundation::Error> error)>;

  static constexpr const char* getServiceSelector = "getServiceWithName:reply:";

  virtual ~ServiceLookupProtocol() = default;
  virtual void getService(const std::string& serviceName, EndpointReply reply) = 0;
};

std::shared_ptr<xpc::Interface> makeServiceLookupInterface();

}  // namespace fileprovider

template <>
struct xpc::ProtocolTraits<fileprovider::ServiceLookupProtocol> {
  static const xpc::ProtocolSpec& spec();
  static std::shared_ptr<fileprovider::ServiceLookupProtocol> makeProxy(xpc::RemoteChannel channel);
  static std::shared_ptr<xpc::ExportedObject> makeDispatcher(
      std::shared_ptr<fileprovider::ServiceLookupProtocol> object);
};

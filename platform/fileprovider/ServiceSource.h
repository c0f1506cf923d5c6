// fileprovider::ServiceSource stands in for NSFileProviderServiceSource: a named
// service that an extension offers on an item, reached by other processes through
// a listener endpoint handed out by the framework.
#pragma once

#include <memory>
#include <string>

#include "platform/xpc/ListenerEndpoint.h"

namespace fileprovider {

class ServiceSource {
 public:
  virtual ~ServiceSource() = default;
  virtual std::string serviceName() const = 0;
  virtual bool isRestricted() const = 0;
  // makeListenerEndpointAndReturnError:
  virtual xpc::ListenerEndpoint makeListenerEndpoint() = 0;
};

using ServiceSourcePtr = std::shared_ptr<ServiceSource>;

}  // namespace fileprovider

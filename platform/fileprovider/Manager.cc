#include "platform/fileprovider/Manager.h"

#include <condition_variable>
#include <mutex>

#include "platform/fileprovider/ServiceLookupProtocol.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Sha256.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Socket.h"

namespace fileprovider::Manager {

std::filesystem::path domainSocketPath(const std::string& domainIdentifier) {
  std::filesystem::path folder = xpc::socket::runtimeDirectory() / "domains";
  std::filesystem::path path = folder / (foundation::base64UrlEncode(domainIdentifier) + ".sock");
  if (xpc::socket::fitsSocketAddress(path.string())) return path;
  return folder / ("h-" + foundation::hexString(foundation::sha256(domainIdentifier)).substr(0, 32) + ".sock");
}

foundation::Error noSuchServiceError(const std::string& serviceName, const std::string& domainIdentifier) {
  // NSFileProviderErrorProviderNotFound.
  return foundation::Error(
      foundation::kFileProviderErrorDomain, -2001,
      foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                            "No service \"" + serviceName + "\" for domain \"" + domainIdentifier + "\""}});
}

void getService(const std::string& domainIdentifier, const std::string& serviceName, ServiceCompletion completion) {
  auto endpoint = xpc::ListenerEndpoint::fromText(domainSocketPath(domainIdentifier).string());
  auto connection = xpc::Connection::withEndpoint(endpoint.value_or(xpc::ListenerEndpoint()));
  connection->setRemoteObjectInterface(makeServiceLookupInterface());
  // One answer only: the reply or the proxy's error. Either way the lookup
  // connection has done its job and is closed.
  auto shared = std::make_shared<ServiceCompletion>(std::move(completion));
  auto proxy = connection->remoteObjectProxyWithErrorHandler<ServiceLookupProtocol>(
      [shared, connection](const foundation::Error& error) {
        (*shared)(std::nullopt, error);
        connection->invalidate();
      });
  connection->resume();
  proxy->getService(
      serviceName, [shared, connection](std::optional<std::string> text, std::optional<foundation::Error> error) {
        std::optional<xpc::ListenerEndpoint> found;
        if (text) found = xpc::ListenerEndpoint::fromText(*text);
        if (!found && !error) {
          error = foundation::Error(foundation::kCocoaErrorDomain, foundation::cocoa::kXpcConnectionReplyInvalid);
        }
        (*shared)(found, error);
        connection->invalidate();
      });
}

foundation::Result<xpc::ListenerEndpoint> getServiceSync(const std::string& domainIdentifier,
                                                         const std::string& serviceName,
                                                         std::chrono::milliseconds timeout) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<foundation::Result<xpc::ListenerEndpoint>> result;
  };
  auto wait = std::make_shared<Wait>();
  getService(domainIdentifier, serviceName,
             [wait](std::optional<xpc::ListenerEndpoint> endpoint, std::optional<foundation::Error> error) {
               std::lock_guard guard(wait->mutex);
               if (endpoint) {
                 wait->result.emplace(*endpoint);
               } else {
                 wait->result.emplace(error.value_or(
                     foundation::Error(foundation::kCocoaErrorDomain, foundation::cocoa::kXpcConnectionInvalid)));
               }
               wait->done.notify_all();
             });
  std::unique_lock lock(wait->mutex);
  if (!wait->done.wait_for(lock, timeout, [&] { return wait->result.has_value(); })) {
    return foundation::Error(
        foundation::kPosixErrorDomain, ETIMEDOUT,
        foundation::UserInfo{{foundation::kLocalizedDescriptionKey, std::string("Service lookup timed out")}});
  }
  return std::move(*wait->result);
}

}  // namespace fileprovider::Manager

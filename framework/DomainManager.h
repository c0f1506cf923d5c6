// DomainManager: the framework side of domains. It creates one extension per
// domain and publishes, on the domain's lookup socket, the framework's service
// lookup: a host asks for a service by name and gets the endpoint of the matching
// service source that the extension offers for the domain's root. Hosts reach it
// through fileprovider::Manager and never link this code.
//
// Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/foundation/Result.h"
#include "platform/xpc/Listener.h"

namespace corvane::framework {

class DomainManager {
 public:
  // Sends the host link's ping, outside any framework request. `done` runs
  // once, on any thread and possibly before the call returns: true when the
  // host answered, false when there was no link to ask or it ended first.
  using HostPing = std::function<void(std::function<void(bool answered)> done)>;

  // A domain's extension, how to tell whether its host link is up and how to
  // ask whether the host still answers on it. The link is not a framework
  // request: only the factory that made the extension knows its type, so it
  // hands over the probe and the ping with it.
  struct MadeExtension {
    fileprovider::ReplicatedExtensionPtr extension;
    std::function<bool()> linkReady;
    HostPing pingHost;  // empty: the host cannot be asked
  };
  using ExtensionFactory = std::function<MadeExtension(const fileprovider::Domain&)>;

  // Makes a FileProviderExtension per domain.
  static ExtensionFactory defaultFactory();

  explicit DomainManager(ExtensionFactory factory = defaultFactory());
  // Removes every domain.
  ~DomainManager();
  DomainManager(const DomainManager&) = delete;
  DomainManager& operator=(const DomainManager&) = delete;

  // Creates the domain's extension and starts its lookup socket. A domain that is
  // already added, or a socket that cannot be made, is an error.
  foundation::Result<fileprovider::ReplicatedExtensionPtr> addDomain(const fileprovider::Domain& domain);

  // Stops the lookup socket and invalidates the extension. No-op for an unknown domain.
  void removeDomain(const std::string& identifier);

  fileprovider::ReplicatedExtensionPtr extension(const std::string& identifier) const;

  // Whether the domain's extension has a ready host link; false for an unknown domain.
  bool linkReady(const std::string& identifier) const;
  // The domain's ping (empty for an unknown domain). It holds the extension
  // weakly: once the domain is gone it answers false.
  HostPing hostPing(const std::string& identifier) const;

 private:
  struct Published;

  const ExtensionFactory factory_;
  mutable std::mutex mutex_;  // guards domains_
  std::map<std::string, std::shared_ptr<Published>> domains_;
};

}  // namespace corvane::framework

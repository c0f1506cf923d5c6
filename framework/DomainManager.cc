#include "framework/DomainManager.h"

#include "extension/FileProviderExtension.h"
#include "platform/fileprovider/Errors.h"
#include "platform/fileprovider/Manager.h"
#include "platform/fileprovider/ServiceLookupProtocol.h"

namespace corvane::framework {
namespace {

// Answers one host's lookups for one domain.
class ServiceLookup final : public fileprovider::ServiceLookupProtocol {
 public:
  ServiceLookup(std::string domainIdentifier, std::weak_ptr<fileprovider::ReplicatedExtension> extension)
      : domainIdentifier_(std::move(domainIdentifier)), extension_(std::move(extension)) {}

  void getService(const std::string& serviceName, EndpointReply reply) override {
    auto extension = extension_.lock();
    if (!extension) {
      reply(std::nullopt, fileprovider::Manager::noSuchServiceError(serviceName, domainIdentifier_));
      return;
    }
    // The servicing call completes at once, on this thread, as the extension
    // promises; `answered` guards against one that never calls back.
    auto answered = std::make_shared<bool>(false);
    extension->supportedServiceSources(
        fileprovider::ItemIdentifier::rootContainer(),
        [&, answered](std::optional<std::vector<fileprovider::ServiceSourcePtr>> sources,
                      std::optional<foundation::Error> error) {
          *answered = true;
          if (error) {
            reply(std::nullopt, error);
            return;
          }
          for (const auto& source : sources.value_or(std::vector<fileprovider::ServiceSourcePtr>{})) {
            if (source && source->serviceName() == serviceName) {
              reply(source->makeListenerEndpoint().text(), std::nullopt);
              return;
            }
          }
          reply(std::nullopt, fileprovider::Manager::noSuchServiceError(serviceName, domainIdentifier_));
        });
    if (!*answered) reply(std::nullopt, fileprovider::Manager::noSuchServiceError(serviceName, domainIdentifier_));
  }

 private:
  const std::string domainIdentifier_;
  const std::weak_ptr<fileprovider::ReplicatedExtension> extension_;
};

class LookupListenerDelegate final : public xpc::ListenerDelegate {
 public:
  LookupListenerDelegate(std::string domainIdentifier, std::weak_ptr<fileprovider::ReplicatedExtension> extension)
      : domainIdentifier_(std::move(domainIdentifier)), extension_(std::move(extension)) {}

  bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) override {
    connection->setExportedInterface(fileprovider::makeServiceLookupInterface());
    connection->setExportedObject<fileprovider::ServiceLookupProtocol>(
        std::make_shared<ServiceLookup>(domainIdentifier_, extension_));
    connection->resume();
    return true;
  }

 private:
  const std::string domainIdentifier_;
  const std::weak_ptr<fileprovider::ReplicatedExtension> extension_;
};

}  // namespace

struct DomainManager::Published {
  fileprovider::ReplicatedExtensionPtr extension;
  std::function<bool()> linkReady;
  HostPing pingHost;
  std::shared_ptr<LookupListenerDelegate> delegate;
  std::shared_ptr<xpc::Listener> listener;
};

DomainManager::ExtensionFactory DomainManager::defaultFactory() {
  return [](const fileprovider::Domain& domain) -> MadeExtension {
    auto extension = FileProviderExtension::create(domain);
    std::weak_ptr<FileProviderExtension> weak = extension;
    auto linkReady = [weak] {
      auto strong = weak.lock();
      return strong && strong->linkState().isReady();
    };
    // The probe's own message, on the ready link's proxy: the host answers it
    // on its connection's queue, whatever its workers are doing, and it
    // changes nothing on either side. Its reply and the proxy's error handler
    // are exclusive, so `done` runs once.
    auto pingHost = [weak](std::function<void(bool answered)> done) {
      auto strong = weak.lock();
      if (!strong) return done(false);
      const std::uint64_t generation = strong->linkState().generation;
      auto proxy = strong->acquireProxy([done](const foundation::Error&) { done(false); });
      if (!proxy) return done(false);
      proxy->ping(strong->mountedPeerId(), generation, [done](std::optional<foundation::Error>) { done(true); });
    };
    return {extension, std::move(linkReady), std::move(pingHost)};
  };
}

DomainManager::DomainManager(ExtensionFactory factory) : factory_(std::move(factory)) {}

DomainManager::~DomainManager() {
  std::map<std::string, std::shared_ptr<Published>> domains;
  {
    std::lock_guard guard(mutex_);
    domains.swap(domains_);
  }
  for (auto& [identifier, published] : domains) {
    published->listener->invalidate();
    published->extension->invalidate();
  }
}

foundation::Result<fileprovider::ReplicatedExtensionPtr> DomainManager::addDomain(const fileprovider::Domain& domain) {
  std::lock_guard guard(mutex_);
  if (domains_.count(domain.identifier)) {
    return foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::filenameCollision,
                             foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                   "Domain \"" + domain.identifier + "\" already exists"}});
  }
  auto published = std::make_shared<Published>();
  published->listener = xpc::Listener::atPath(fileprovider::Manager::domainSocketPath(domain.identifier));
  if (published->listener->error()) return *published->listener->error();
  MadeExtension made = factory_(domain);
  published->extension = std::move(made.extension);
  published->linkReady = std::move(made.linkReady);
  published->pingHost = std::move(made.pingHost);
  published->delegate = std::make_shared<LookupListenerDelegate>(domain.identifier, published->extension);
  published->listener->setDelegate(published->delegate);
  published->listener->resume();
  domains_[domain.identifier] = published;
  return published->extension;
}

void DomainManager::removeDomain(const std::string& identifier) {
  std::shared_ptr<Published> published;
  {
    std::lock_guard guard(mutex_);
    auto it = domains_.find(identifier);
    if (it == domains_.end()) return;
    published = std::move(it->second);
    domains_.erase(it);
  }
  published->listener->invalidate();
  published->extension->invalidate();
}

fileprovider::ReplicatedExtensionPtr DomainManager::extension(const std::string& identifier) const {
  std::lock_guard guard(mutex_);
  auto it = domains_.find(identifier);
  return it == domains_.end() ? nullptr : it->second->extension;
}

bool DomainManager::linkReady(const std::string& identifier) const {
  std::function<bool()> probe;
  {
    std::lock_guard guard(mutex_);
    auto it = domains_.find(identifier);
    if (it == domains_.end() || !it->second->linkReady) return false;
    probe = it->second->linkReady;
  }
  return probe();
}

DomainManager::HostPing DomainManager::hostPing(const std::string& identifier) const {
  std::lock_guard guard(mutex_);
  auto it = domains_.find(identifier);
  return it == domains_.end() ? HostPing{} : it->second->pingHost;
}

}  // namespace corvane::framework

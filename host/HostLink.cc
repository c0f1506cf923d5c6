#include "host/HostLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "host/HostVfsAdapter.h"
#include "platform/fileprovider/Manager.h"
#include "platform/foundation/JoinOrDetach.h"
#include "shared/vfs_xpc/VfsFileProviderControlProtocol.h"
#include "shared/vfs_xpc/VfsXpcEndpointConfiguration.h"

namespace corvane::host {

namespace {

std::string describe(const foundation::Error& error) {
  std::string code = error.domain() + " " + std::to_string(error.code());
  if (!error.stringForKey(foundation::kLocalizedDescriptionKey)) return code;
  return error.localizedDescription() + " (" + code + ")";
}

// A lookup whose link fails never reached a domain manager serving the domain.
std::string describeLookup(const foundation::Error& error) {
  if (error.domain() == foundation::kCocoaErrorDomain &&
      (error.code() == foundation::cocoa::kXpcConnectionInterrupted ||
       error.code() == foundation::cocoa::kXpcConnectionInvalid)) {
    return "no domain manager answers for this domain (" + describe(error) + ")";
  }
  return describe(error);
}

foundation::Error ended(std::int64_t code, const char* what) {
  return foundation::Error(foundation::kCocoaErrorDomain, code,
                           foundation::UserInfo{{foundation::kLocalizedDescriptionKey, std::string(what)}});
}

// A folder of this machine, served by a HostVfsService.
class LocalShare final : public ServedShare {
 public:
  explicit LocalShare(std::shared_ptr<HostVfsService> service) : service_(std::move(service)) {}
  const std::string& peerId() const override { return service_->peerId(); }
  void exportOn(const std::shared_ptr<xpc::Connection>& connection, std::weak_ptr<WorkerPool> pool,
                std::shared_ptr<const HostFaults> faults) override {
    HostVfsAdapter::exportOn(connection, service_, std::move(pool), std::move(faults));
  }

 private:
  const std::shared_ptr<HostVfsService> service_;
};

}  // namespace

std::shared_ptr<HostLink> HostLink::create(std::shared_ptr<HostVfsService> service, HostLinkOptions options) {
  return create(std::make_shared<LocalShare>(std::move(service)), std::move(options));
}

std::shared_ptr<HostLink> HostLink::create(std::shared_ptr<ServedShare> share, HostLinkOptions options) {
  std::shared_ptr<HostLink> link(new HostLink(std::move(share), std::move(options)));
  link->thread_ = std::thread([raw = link.get()] { raw->run(); });
  return link;
}

HostLink::HostLink(std::shared_ptr<ServedShare> share, HostLinkOptions options)
    : peerId_(share->peerId()),
      share_(std::move(share)),
      options_(std::move(options)),
      faults_(std::make_shared<HostFaults>()),
      relay_(std::make_shared<HandlerRelay>()),
      pool_(std::make_shared<WorkerPool>(options_.workerThreads)),
      retryDelay_(options_.firstRetryDelay) {
  relay_->link = this;
}

HostLink::~HostLink() {
  {
    std::lock_guard guard(relay_->mutex);
    relay_->link = nullptr;
  }
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  disconnect();
  foundation::joinOrDetach(thread_);
  pool_.reset();  // the last owner: runs what is queued, then joins the workers
}

void HostLink::start() {
  {
    std::lock_guard guard(mutex_);
    if (!keepUp_) retryDelay_ = options_.firstRetryDelay;
    keepUp_ = true;
    if (!connection_ && !nextAttempt_) nextAttempt_ = std::chrono::steady_clock::now();
  }
  wake_.notify_all();
}

std::optional<foundation::Error> HostLink::connect(std::optional<std::string> activatePeerId) {
  return attempt(activatePeerId.value_or(peerId_));
}

void HostLink::disconnect() {
  std::shared_ptr<xpc::Connection> current;
  std::shared_ptr<xpc::Connection> pending;
  {
    std::lock_guard guard(mutex_);
    keepUp_ = false;
    nextAttempt_.reset();
    current = std::move(connection_);
    connection_.reset();
    if (attempting_) {
      attemptAbandoned_ = true;
      pending = attempting_;
    }
  }
  close(current);
  close(pending);  // its activation now fails, and the attempt returns
}

bool HostLink::isActivated() const {
  std::lock_guard guard(mutex_);
  return connection_ != nullptr;
}

std::optional<foundation::Error> HostLink::attempt(const std::string& activatePeerId) {
  std::lock_guard serial(attemptMutex_);
  auto endpoint = fileprovider::Manager::getServiceSync(peerId_, VfsXpcEndpointConfiguration::fileProviderServiceName,
                                                        options_.attemptTimeout);
  if (!endpoint.ok()) {
    std::lock_guard guard(mutex_);
    failedLocked("lookup failed: " + describeLookup(endpoint.error()));
    return endpoint.error();
  }

  auto connection = xpc::Connection::withEndpoint(*endpoint);
  share_->exportOn(connection, pool_, faults_);
  connection->setRemoteObjectInterface(VfsFileProviderControlInterfaceBuilder::createInterface());
  watch(*connection);
  {
    std::lock_guard guard(mutex_);
    if (stopping_) return ended(foundation::cocoa::kXpcConnectionInvalid, "The host link is closing");
    attempting_ = connection;
    attemptAbandoned_ = false;
  }
  connection->resume();

  // The activation's reply, or the link's error when no reply can come.
  struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::optional<foundation::Error>> value;
    void set(std::optional<foundation::Error> error) {
      std::lock_guard guard(mutex);
      if (!value) value.emplace(std::move(error));
      done.notify_all();
    }
  };
  auto answer = std::make_shared<Answer>();
  auto proxy = connection->remoteObjectProxyWithErrorHandler<VfsFileProviderControlProtocol>(
      [answer](const foundation::Error& error) { answer->set(error); });
  proxy->activateHost(activatePeerId, [answer](std::optional<foundation::Error> error) { answer->set(error); });

  std::optional<foundation::Error> error;
  {
    std::unique_lock lock(answer->mutex);
    if (answer->done.wait_for(lock, options_.attemptTimeout, [&] { return answer->value.has_value(); })) {
      error = *answer->value;
    } else {
      error =
          foundation::Error(foundation::kPosixErrorDomain, ETIMEDOUT,
                            foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                  std::string("The extension did not answer the activation in time")}});
    }
  }

  std::shared_ptr<xpc::Connection> replaced;
  {
    std::lock_guard guard(mutex_);
    if (!error && attemptAbandoned_) {
      error = ended(foundation::cocoa::kXpcConnectionInterrupted, "The link ended during activation");
    }
    attempting_.reset();
    if (error) {
      failedLocked("activation failed: " + describe(*error));
    } else {
      replaced = std::move(connection_);
      connection_ = connection;
      retryDelay_ = options_.firstRetryDelay;
      nextAttempt_.reset();
      reportLocked("activated");
    }
  }
  if (error) close(connection);
  close(replaced);
  return error;
}

void HostLink::watch(xpc::Connection& connection) {
  const xpc::Connection* raw = &connection;
  auto forward = [relay = relay_, raw](const char* how) {
    std::lock_guard guard(relay->mutex);
    if (relay->link) relay->link->lost(raw, how);
  };
  connection.setInterruptionHandler([forward] { forward("interrupted"); });
  connection.setInvalidationHandler([forward] { forward("invalidated"); });
}

void HostLink::lost(const xpc::Connection* connection, const char* how) {
  std::shared_ptr<xpc::Connection> gone;  // released after the lock
  std::lock_guard guard(mutex_);
  if (attempting_.get() == connection) {
    attemptAbandoned_ = true;  // the attempt reports it
    return;
  }
  // Interruption and invalidation both report one ending; the first one counts.
  if (connection_.get() != connection) return;
  gone = std::move(connection_);
  connection_.reset();
  failedLocked(std::string("link lost (") + how + ")");
}

void HostLink::failedLocked(const std::string& line) {
  reportLocked(line);
  if (!keepUp_ || stopping_) return;
  nextAttempt_ = std::chrono::steady_clock::now() + retryDelay_;
  reportLocked("retrying in " + std::to_string(retryDelay_.count()) + " ms");
  retryDelay_ = std::min(retryDelay_ * 2, options_.maximumRetryDelay);
  wake_.notify_all();
}

void HostLink::reportLocked(const std::string& line) const {
  if (options_.report) {
    options_.report(line);
  } else {
    std::fprintf(stderr, "corvane-vfs-host: peer \"%s\": %s\n", peerId_.c_str(), line.c_str());
  }
}

void HostLink::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!keepUp_ || !nextAttempt_ || connection_) {
      wake_.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < *nextAttempt_) {
      wake_.wait_until(lock, *nextAttempt_);
      continue;
    }
    nextAttempt_.reset();
    lock.unlock();
    attempt(peerId_);
    lock.lock();
  }
}

void HostLink::close(const std::shared_ptr<xpc::Connection>& connection) {
  if (!connection) return;
  connection->setInterruptionHandler(nullptr);
  connection->setInvalidationHandler(nullptr);
  connection->invalidate();
}

}  // namespace corvane::host

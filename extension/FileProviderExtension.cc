// FileProviderExtension: construction, the host link (adoption, probe, failure,
// invalidation, proxies) and the service sources the framework asks for.
#include "extension/FileProviderExtension.h"

#include <cmath>

#include "extension/FileProviderErrors.h"
#include "extension/VfsFileProviderServiceSource.h"
#include "platform/foundation/Clock.h"
#include "platform/oslog/Log.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"

namespace corvane {

std::shared_ptr<FileProviderExtension> FileProviderExtension::create(fileprovider::Domain domain) {
  return std::shared_ptr<FileProviderExtension>(new FileProviderExtension(std::move(domain)));
}

FileProviderExtension::FileProviderExtension(fileprovider::Domain domain)
    : domain_(std::move(domain)),
      xpcQueue_("io.corvane.fileprovider.xpc"),
      uploadStagingQueue_("io.corvane.fileprovider.upload-staging", dispatch::QualityOfService::utility) {}

FileProviderExtension::~FileProviderExtension() {
  // Nothing else can reach this object now. A connection still held would stay
  // open (a resumed connection keeps itself alive), so close it quietly.
  if (xpcConnection_) tearDown(*xpcConnection_);
}

void FileProviderExtension::tearDown(xpc::Connection& connection) {
  connection.setInterruptionHandler(nullptr);
  connection.setInvalidationHandler(nullptr);
  connection.invalidate();
}

std::shared_ptr<VfsXpcProtocol> FileProviderExtension::acquireProxy(UndeliveredHandler onUndelivered) {
  std::weak_ptr<FileProviderExtension> weak = weak_from_this();
  return FileProviderXpcAcquisitionPolicy::acquire([&] {
    return xpcQueue_.sync([&]() -> std::shared_ptr<VfsXpcProtocol> {
      if (!xpcConnection_ || !xpcState_.isReady()) return nullptr;
      const std::uint64_t generation = xpcState_.generation;
      return xpcConnection_->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
          [weak, generation, onUndelivered](const foundation::Error& error) {
            if (auto self = weak.lock()) self->recordXpcDown(error, "proxy_error", generation);
            if (onUndelivered) onUndelivered(error);
          });
    });
  });
}

void FileProviderExtension::activateHostConnection(std::shared_ptr<xpc::Connection> connection,
                                                   std::function<void(std::optional<foundation::Error>)> completion) {
  xpcQueue_.async(
      [self = shared_from_this(), connection = std::move(connection), completion = std::move(completion)]() mutable {
        const std::uint64_t generation = self->xpcState_.beginConnection();
        if (self->xpcConnection_ && self->xpcConnection_ != connection) tearDown(*self->xpcConnection_);

        connection->setRemoteObjectInterface(VfsXpcInterfaceBuilder::createInterface());
        std::weak_ptr<FileProviderExtension> weak = self;
        connection->setInterruptionHandler([weak, generation] {
          if (auto extension = weak.lock()) extension->recordXpcDown(std::nullopt, "interrupted", generation);
        });
        connection->setInvalidationHandler([weak, generation] {
          if (auto extension = weak.lock()) extension->recordXpcDown(std::nullopt, "invalidated", generation);
        });
        self->xpcConnection_ = connection;

        CorvaneFpLog::emit(
            {.event = "mount.xpc_connect", .level = "DEBUG", .peer = self->mountedPeerId(), .generation = generation});

        // The probe's reply and the proxy's error handler are exclusive: exactly one
        // of them answers the activation.
        auto proxy = connection->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
            [weak, generation, completion](const foundation::Error& error) {
              if (auto extension = weak.lock()) extension->recordXpcDown(error, "proxy_error", generation);
              completion(error);
            });
        if (!proxy) {
          foundation::Error error = vfsServiceUnavailableError("Host VFS proxy unavailable");
          self->recordXpcDown(error, "probe_failed", generation);
          completion(error);
          return;
        }

        const double startedAt = foundation::currentDate().timeIntervalSince1970;
        proxy->ping(self->mountedPeerId(), generation,
                    [weak, generation, startedAt, completion](std::optional<foundation::Error> error) {
                      auto extension = weak.lock();
                      if (!extension) {
                        completion(hostConnectionSupersededError());
                        return;
                      }
                      if (error) {
                        // Record, then answer: the host may act on the answer at once
                        // (activate again, send a request), and that must find the
                        // link's state failed. The answer goes out before the teardown,
                        // and so before the failure's log line and event.
                        extension->recordXpcDown(error, "probe_failed", generation,
                                                 [completion, error] { completion(error); });
                        return;
                      }
                      extension->xpcQueue_.async([weak, generation, startedAt, completion] {
                        if (auto again = weak.lock()) {
                          again->completeProbe(generation, startedAt, completion);
                        } else {
                          completion(hostConnectionSupersededError());
                        }
                      });
                    });
      });
}

void FileProviderExtension::completeProbe(std::uint64_t generation, double startedAt,
                                          const std::function<void(std::optional<foundation::Error>)>& completion) {
  xpcQueue_.assertCurrent("FileProviderExtension::completeProbe");
  if (!xpcState_.markProbeSucceeded(generation)) {
    // A newer activation began, or this connection already failed: the link did
    // not become ready through this probe, and the host hears so.
    completion(hostConnectionSupersededError());
    return;
  }
  const double elapsed = (foundation::currentDate().timeIntervalSince1970 - startedAt) * 1000.0;
  const auto elapsedMs = static_cast<std::uint64_t>(std::max(0.0, std::trunc(elapsed)));
  CorvaneFpLog::emit(
      {.event = "mount.xpc_up", .peer = mountedPeerId(), .elapsedMs = elapsedMs, .generation = generation});
  completion(std::nullopt);
}

void FileProviderExtension::recordXpcDown(std::optional<foundation::Error> error, std::string reason,
                                          std::uint64_t generation, std::function<void()> beforeTearDown) {
  xpcQueue_.async([weak = weak_from_this(), error = std::move(error), reason = std::move(reason), generation,
                   beforeTearDown = std::move(beforeTearDown)] {
    auto self = weak.lock();
    const bool failedNow = self && self->xpcState_.markConnectionFailed(generation);
    if (beforeTearDown) beforeTearDown();
    if (!failedNow) return;
    // The link is closed and dropped before the failure is written down: by the
    // time the log says the link is down, nothing can still use it.
    if (self->xpcConnection_) {
      tearDown(*self->xpcConnection_);
      self->xpcConnection_.reset();
    }
    const std::string detail = error ? error->domain() + "#" + std::to_string(error->code()) : reason;
    oslog::log(oslog::Type::Default, "\u26a0\ufe0f [FP] XPC %{public}@ generation=%llu %{public}@", reason, generation,
               detail);
    CorvaneFpLog::emit({.event = "mount.xpc_down",
                        .level = "WARN",
                        .peer = self->mountedPeerId(),
                        .detail = detail,
                        .reason = reason,
                        .errorCode = "connection_failed",
                        .retryable = true,
                        .generation = generation});
  });
}

void FileProviderExtension::invalidate() {
  xpcQueue_.sync([&] {
    if (xpcConnection_) tearDown(*xpcConnection_);
    xpcConnection_.reset();
    xpcState_.markIdle();
  });
}

FileProviderXpcConnectionState FileProviderExtension::linkState() {
  return xpcQueue_.sync([&] { return xpcState_; });
}

std::shared_ptr<VfsFileProviderServiceSource> FileProviderExtension::hostServiceSource() {
  std::lock_guard guard(sourceMutex_);
  if (!hostServiceSource_) hostServiceSource_ = VfsFileProviderServiceSource::create(weak_from_this());
  return hostServiceSource_;
}

foundation::ProgressPtr FileProviderExtension::supportedServiceSources(const fileprovider::ItemIdentifier& identifier,
                                                                       ServiceSourcesCompletion completionHandler) {
  auto progress = std::make_shared<foundation::Progress>(1);
  if (identifier == fileprovider::ItemIdentifier::rootContainer()) {
    completionHandler(std::vector<fileprovider::ServiceSourcePtr>{hostServiceSource()}, std::nullopt);
  } else {
    completionHandler(std::vector<fileprovider::ServiceSourcePtr>{}, std::nullopt);
  }
  progress->setCompletedUnitCount(1);
  return progress;
}

}  // namespace corvane

// FileProviderExtension: the extension's principal object, one per File Provider
// domain (one mounted peer). It owns the link to the host's VFS service — adopted
// from a connection the host opens to its service source, probed, torn down on
// failure — and answers every framework request by calls over that link.
//
// Always held by shared_ptr (create()); everything that points back at it (the
// service source, control sessions, connection handlers, enumerators, reply blocks
// that outlive a request) holds it weakly and does nothing once it is gone.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "extension/XpcProxyProvider.h"
#include "platform/dispatch/Queue.h"
#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/foundation/Once.h"
#include "platform/foundation/Result.h"
#include "platform/xpc/Connection.h"
#include "shared/vfs_xpc/FileProviderXpcConnectionState.h"

namespace corvane {

class FileProviderRequestTrace;
class StagedUploadSlot;
class VfsFileProviderServiceSource;

class FileProviderExtension final : public fileprovider::ReplicatedExtension,
                                    public XpcProxyProvider,
                                    public std::enable_shared_from_this<FileProviderExtension> {
 public:
  // init(domain:): fields and queues only; no connection, no file I/O, no log.
  static std::shared_ptr<FileProviderExtension> create(fileprovider::Domain domain);
  ~FileProviderExtension() override;

  const fileprovider::Domain& domain() const { return domain_; }
  // The domain identifier: the peer of every event, trace and probe of this object.
  const std::string& mountedPeerId() const { return domain_.identifier; }

  // XpcProxyProvider. Enters xpcQueue_ synchronously.
  std::shared_ptr<VfsXpcProtocol> acquireProxy(UndeliveredHandler onUndelivered = nullptr) override;

  // Adopts `connection` as the host link and probes it. `completion` gets nil once
  // the link is ready, the error that failed it, or -16 "Host connection superseded"
  // when a newer activation or a failure overtook the probe, or the extension went
  // away. Called from the control session on any queue; runs on xpcQueue_.
  void activateHostConnection(std::shared_ptr<xpc::Connection> connection,
                              std::function<void(std::optional<foundation::Error>)> completion);

  // Records a failure of the link of `generation` and tears it down, once per
  // generation: the state goes to cooling down, the connection is closed and
  // dropped, then the system log line and "mount.xpc_down" are written. Any
  // queue; runs on xpcQueue_. `beforeTearDown`, when given, runs there after the
  // state change (stale or not) and before the connection closes: an answer sent
  // through the failed connection is ordered after the state change and still
  // goes out, ahead of the log line and the event.
  void recordXpcDown(std::optional<foundation::Error> error, std::string reason, std::uint64_t generation,
                     std::function<void()> beforeTearDown = {});

  // ReplicatedExtension.
  void invalidate() override;
  foundation::Result<std::shared_ptr<fileprovider::Enumerator>> enumerator(
      const fileprovider::ItemIdentifier& container, const fileprovider::Request& request) override;
  foundation::ProgressPtr item(const fileprovider::ItemIdentifier& identifier, const fileprovider::Request& request,
                               ItemCompletion completionHandler) override;
  foundation::ProgressPtr fetchContents(const fileprovider::ItemIdentifier& identifier,
                                        const std::optional<fileprovider::ItemVersion>& version,
                                        const fileprovider::Request& request,
                                        FetchCompletion completionHandler) override;
  foundation::ProgressPtr createItem(fileprovider::ItemPtr itemTemplate, fileprovider::ItemFields fields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fileprovider::CreateItemOptions options, const fileprovider::Request& request,
                                     ItemChangeCompletion completionHandler) override;
  foundation::ProgressPtr modifyItem(fileprovider::ItemPtr item, const fileprovider::ItemVersion& baseVersion,
                                     fileprovider::ItemFields changedFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fileprovider::ModifyItemOptions options, const fileprovider::Request& request,
                                     ItemChangeCompletion completionHandler) override;
  foundation::ProgressPtr deleteItem(const fileprovider::ItemIdentifier& identifier,
                                     const fileprovider::ItemVersion& baseVersion,
                                     fileprovider::DeleteItemOptions options, const fileprovider::Request& request,
                                     ErrorCompletion completionHandler) override;
  void importDidFinish(std::function<void()> completionHandler) override;
  foundation::ProgressPtr supportedServiceSources(const fileprovider::ItemIdentifier& identifier,
                                                  ServiceSourcesCompletion completionHandler) override;

  // The link's state as xpcQueue_ sees it: for tests and the domain manager's link probe.
  FileProviderXpcConnectionState linkState();

 private:
  explicit FileProviderExtension(fileprovider::Domain domain);

  // The service source, made on first use. Any thread.
  std::shared_ptr<VfsFileProviderServiceSource> hostServiceSource();

  // On xpcQueue_ (the connection is xpcConnection_ or was until now): clears the
  // connection's handlers and invalidates it, so the dropped connection reports
  // nothing of its own.
  static void tearDown(xpc::Connection& connection);
  // On xpcQueue_ (asserted in debug builds): the step after a successful probe of `generation`.
  void completeProbe(std::uint64_t generation, double startedAt,
                     const std::function<void(std::optional<foundation::Error>)>& completion);

  // Upload staging (runs on uploadStagingQueue_; asserted in debug builds).
  foundation::Result<std::filesystem::path> makeStagedUploadFile(const std::optional<std::filesystem::path>& contents);
  void stageUploadFile(const std::optional<std::filesystem::path>& contents,
                       std::function<void(foundation::Result<std::filesystem::path>)> completion);
  static void removeStagedUpload(const std::filesystem::path& staged);

  using ItemChangeOnce = foundation::Once<fileprovider::ItemPtr, fileprovider::ItemFields, bool, OptionalError>;

  // The host proxy for a create or modify. With no ready link the request is
  // answered here (-1004, trace "vfs_not_connected") and null is returned; a reply
  // lost with the link removes the staged copy and answers -1004 once.
  std::shared_ptr<VfsXpcProtocol> acquireItemChangeProxy(const std::shared_ptr<FileProviderRequestTrace>& trace,
                                                         const std::shared_ptr<StagedUploadSlot>& staged,
                                                         const ItemChangeOnce& complete);

  // Stages `contents` (an empty file when absent) and uploads the staged copy to
  // `remotePath`, removing it as soon as the host answers. A failure fails `trace`
  // (detail `remotePath`) and reaches `failed` with the error to complete with;
  // success reaches `uploaded`. Both run on uploadStagingQueue_ or the link's
  // queue. While the host works, the copy sits in `staged`, where the request's
  // orphan handler finds it.
  void uploadStagedContents(std::shared_ptr<VfsXpcProtocol> xpc, std::string peerId, std::string remotePath,
                            std::optional<std::filesystem::path> contents,
                            std::shared_ptr<FileProviderRequestTrace> trace, std::shared_ptr<StagedUploadSlot> staged,
                            std::function<void(foundation::Error)> failed, std::function<void()> uploaded);

  // Creation once the peer and remote path are known: picks the plan and runs it
  // to one answer of `completionHandler`. Called on the request thread.
  void performCreate(std::shared_ptr<VfsXpcProtocol> xpc, const std::string& peerId, const std::string& remotePath,
                     const std::string& filename, const fileprovider::ItemIdentifier& parentIdentifier,
                     const fileprovider::ItemPtr& itemTemplate, const std::optional<std::filesystem::path>& contentsUrl,
                     fileprovider::CreateItemOptions options, foundation::ProgressPtr progress,
                     std::shared_ptr<FileProviderRequestTrace> trace, std::shared_ptr<StagedUploadSlot> staged,
                     ItemChangeOnce completionHandler);

  // Constant after construction.
  const fileprovider::Domain domain_;

  // Serial queue guarding xpcConnection_ and xpcState_. acquireProxy() and
  // invalidate() enter it synchronously, everything else asynchronously.
  dispatch::Queue xpcQueue_;
  // Runs all upload staging work and its completions.
  dispatch::Queue uploadStagingQueue_;

  // Touched only on xpcQueue_.
  std::shared_ptr<xpc::Connection> xpcConnection_;
  FileProviderXpcConnectionState xpcState_{2.0, 60.0};

  // Guarded by sourceMutex_; made on first use, then kept for the object's life.
  std::mutex sourceMutex_;
  std::shared_ptr<VfsFileProviderServiceSource> hostServiceSource_;
};

}  // namespace corvane

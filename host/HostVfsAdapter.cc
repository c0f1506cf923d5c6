#include "host/HostVfsAdapter.h"

#include <cstdio>
#include <string>

#include "host/HostDtos.h"
#include "platform/foundation/Guarded.h"

namespace corvane::host {

namespace {

using Error = VfsXpcProtocol::Error;

// The two reply shapes of the protocol: error only, or a result and an error.
void sendError(const VfsXpcProtocol::ErrorReply& reply, foundation::Error error) { reply(std::move(error)); }
template <typename T>
void sendError(const std::function<void(T, Error)>& reply, foundation::Error error) {
  reply(T{}, std::move(error));
}
void sendNothing(const VfsXpcProtocol::ErrorReply& reply) { reply(std::nullopt); }
template <typename T>
void sendNothing(const std::function<void(T, Error)>& reply) {
  reply(T{}, std::nullopt);
}

foundation::Error poolGone() { return vfsError(VfsErrorCode::serviceUnavailable, "The host is shutting down"); }

// Answers `reply` from `fault`: the kinds every operation shares here, the
// operation's own value kind through `onValue`. False when there is no fault.
template <typename Reply, typename OnValue>
bool answerFault(const std::optional<FaultReply>& fault, const Reply& reply, OnValue onValue) {
  if (!fault) return false;
  if (const auto* error = std::get_if<FaultError>(&*fault)) {
    sendError(reply, error->toError());
  } else if (std::holds_alternative<FaultNothing>(*fault)) {
    sendNothing(reply);
  } else if (std::holds_alternative<FaultDrop>(*fault)) {
    // The connection is closed; the caller hears of it instead of a reply.
  } else {
    onValue(*fault);
  }
  return true;
}

// For operations whose only value is the error: HostFaults::set admits no other
// kind, but the call is still answered if one ever arrives.
template <typename Reply>
auto noValue(const Reply& reply) {
  return [&reply](const FaultReply&) {
    sendError(reply, vfsError(VfsErrorCode::invalidArgument, "The injected reply does not fit the operation"));
  };
}

// Runs one request's work. An exception it lets out (a failed allocation, a
// library call that throws) answers the request with an I/O error, so the
// caller hears of it at once and the host goes on serving everything else.
template <typename Work, typename Refuse>
void answerEvenIfThrown(const Work& work, const Refuse& refuse, HostVfsService& service) {
  const auto what = foundation::exceptionFrom([&] { work(service); });
  if (!what) return;
  std::fprintf(stderr, "corvane-vfs-host: a request failed with an exception: %s\n", what->c_str());
  refuse(vfsError(VfsErrorCode::io, "The host could not complete the request (" + *what + ")"));
}

Error toError(const foundation::Status& status) {
  if (status.ok()) return std::nullopt;
  return status.error();
}

}  // namespace

HostVfsAdapter::HostVfsAdapter(const std::shared_ptr<HostVfsService>& service, std::weak_ptr<WorkerPool> pool,
                               std::shared_ptr<const HostFaults> faults, std::weak_ptr<xpc::Connection> connection)
    : peerId_(service->peerId()),
      service_(service),
      pool_(std::move(pool)),
      faults_(std::move(faults)),
      connection_(std::move(connection)) {}

void HostVfsAdapter::exportOn(const std::shared_ptr<xpc::Connection>& connection,
                              const std::shared_ptr<HostVfsService>& service, std::weak_ptr<WorkerPool> pool,
                              std::shared_ptr<const HostFaults> faults) {
  registerVfsXpcClasses();
  connection->setExportedInterface(xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec()));
  connection->setExportedObject<VfsXpcProtocol>(
      std::make_shared<HostVfsAdapter>(service, std::move(pool), std::move(faults), connection));
}

std::optional<FaultReply> HostVfsAdapter::fault(const char* selector,
                                                std::initializer_list<std::string_view> paths) const {
  if (auto connection = connection_.lock()) connection->queue().assertCurrent("HostVfsAdapter call");
  if (!faults_) return std::nullopt;
  std::optional<FaultReply> found = faults_->find(selector, paths);
  if (found && std::holds_alternative<FaultDrop>(*found)) {
    if (auto connection = connection_.lock()) connection->invalidate();
  }
  return found;
}

std::optional<foundation::Error> HostVfsAdapter::foreignPeer(const std::string& peerId) const {
  return foreignPeerError(peerId_, peerId);
}

template <typename Work, typename Refuse>
void HostVfsAdapter::run(Work work, Refuse refuse, WorkerPool::Lane lane) {
  std::shared_ptr<HostVfsService> service = service_.lock();
  std::shared_ptr<WorkerPool> pool = pool_.lock();
  if (!service || !pool ||
      !pool->submit([work = std::move(work), refuse, service] { answerEvenIfThrown(work, refuse, *service); },
                    lane)) {
    refuse(poolGone());
  }
}

template <typename Work, typename Refuse>
void HostVfsAdapter::runHere(Work work, Refuse refuse) {
  std::shared_ptr<HostVfsService> service = service_.lock();
  if (!service || !pool_.lock()) return refuse(poolGone());
  answerEvenIfThrown(work, refuse, *service);
}

void HostVfsAdapter::ping(const std::string& peerId, std::uint64_t, ErrorReply reply) {
  if (answerFault(fault(VfsXpcSelectors::ping, {}), reply, noValue(reply))) return;
  reply(foreignPeer(peerId));
}

void HostVfsAdapter::listDirectory(const std::string& peerId, const std::string& path, const std::string&,
                                   EntriesReply reply) {
  if (answerFault(fault(VfsXpcSelectors::listDirectory, {path}), reply, [&](const FaultReply& f) {
        reply(entryDtos(std::get<std::vector<HostFileEntry>>(f)), std::nullopt);
      })) {
    return;
  }
  if (auto error = foreignPeer(peerId)) return sendError(reply, std::move(*error));
  run(
      [path, reply](HostVfsService& service) {
        auto listed = service.listDirectory(path);
        if (!listed.ok()) return sendError(reply, listed.error());
        reply(entryDtos(*listed), std::nullopt);
      },
      [reply](foundation::Error e) { sendError(reply, std::move(e)); });
}

void HostVfsAdapter::getCurrentToken(const std::string& peerId, const std::string&, TokenReply reply) {
  if (answerFault(fault(VfsXpcSelectors::getCurrentToken, {}), reply,
                  [&](const FaultReply& f) { reply(std::get<FaultToken>(f).value, std::nullopt); })) {
    return;
  }
  if (auto error = foreignPeer(peerId)) return sendError(reply, std::move(*error));
  run(
      [reply](HostVfsService& service) {
        auto token = service.currentToken();
        if (!token.ok()) return sendError(reply, token.error());
        reply(*token, std::nullopt);
      },
      [reply](foundation::Error e) { sendError(reply, std::move(e)); });
}

void HostVfsAdapter::readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                                 const std::string&, ChangesReply reply) {
  if (answerFault(fault(VfsXpcSelectors::readChanges, {path}), reply,
                  [&](const FaultReply& f) { reply(changesDto(std::get<HostChangesResult>(f)), std::nullopt); })) {
    return;
  }
  if (auto error = foreignPeer(peerId)) return sendError(reply, std::move(*error));
  run(
      [path, sinceToken, reply](HostVfsService& service) {
        auto changes = service.readChanges(path, sinceToken);
        if (!changes.ok()) return sendError(reply, changes.error());
        reply(changesDto(*changes), std::nullopt);
      },
      [reply](foundation::Error e) { sendError(reply, std::move(e)); });
}

void HostVfsAdapter::statItem(const std::string& peerId, const std::string& path, const std::string&,
                              EntryReply reply) {
  if (answerFault(fault(VfsXpcSelectors::statItem, {path}), reply,
                  [&](const FaultReply& f) { reply(entryDto(std::get<HostFileEntry>(f)), std::nullopt); })) {
    return;
  }
  if (auto error = foreignPeer(peerId)) return sendError(reply, std::move(*error));
  runHere(
      [path, reply](HostVfsService& service) {
        auto found = service.statItem(path);
        if (!found.ok()) return sendError(reply, found.error());
        reply(*found ? entryDto(**found) : nullptr, std::nullopt);
      },
      [reply](foundation::Error e) { sendError(reply, std::move(e)); });
}

void HostVfsAdapter::fetchFileContents(const std::string& peerId, const std::string& path, const std::string&,
                                       URLReply reply) {
  if (answerFault(fault(VfsXpcSelectors::fetchFileContents, {path}), reply,
                  [&](const FaultReply& f) { reply(xpc::FileURL{std::get<FaultURL>(f).path}, std::nullopt); })) {
    return;
  }
  if (auto error = foreignPeer(peerId)) return sendError(reply, std::move(*error));
  run(
      [path, reply](HostVfsService& service) {
        auto copy = service.fetchFileContents(path);
        if (!copy.ok()) return sendError(reply, copy.error());
        reply(xpc::FileURL{copy->string()}, std::nullopt);
      },
      [reply](foundation::Error e) { sendError(reply, std::move(e)); });
}

void HostVfsAdapter::uploadFile(const std::string& peerId, const std::string& localFileUrl,
                                const std::string& remotePath, const std::string&, ErrorReply reply) {
  if (answerFault(fault(VfsXpcSelectors::uploadFile, {remotePath}), reply, noValue(reply))) return;
  if (auto error = foreignPeer(peerId)) return reply(std::move(error));
  if (localFileUrl.empty() || localFileUrl.front() != '/') {
    return reply(
        vfsError(VfsErrorCode::invalidArgument, "The staged file \"" + localFileUrl + "\" is not an absolute path"));
  }
  run([localFileUrl, remotePath,
       reply](HostVfsService& service) { reply(toError(service.uploadFile(localFileUrl, remotePath))); },
      reply, WorkerPool::Lane::background);
}

void HostVfsAdapter::createDirectory(const std::string& peerId, const std::string& path, const std::string&,
                                     ErrorReply reply) {
  if (answerFault(fault(VfsXpcSelectors::createDirectory, {path}), reply, noValue(reply))) return;
  if (auto error = foreignPeer(peerId)) return reply(std::move(error));
  run([path, reply](HostVfsService& service) { reply(toError(service.createDirectory(path))); }, reply);
}

void HostVfsAdapter::deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string&,
                                ErrorReply reply) {
  if (answerFault(fault(VfsXpcSelectors::deleteItem, {path}), reply, noValue(reply))) return;
  if (auto error = foreignPeer(peerId)) return reply(std::move(error));
  run([path, isDir, reply](HostVfsService& service) { reply(toError(service.deleteItem(path, isDir))); }, reply);
}

void HostVfsAdapter::renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                                const std::string&, ErrorReply reply) {
  if (answerFault(fault(VfsXpcSelectors::renameItem, {fromPath, toPath}), reply, noValue(reply))) return;
  if (auto error = foreignPeer(peerId)) return reply(std::move(error));
  run([fromPath, toPath, reply](HostVfsService& service) { reply(toError(service.renameItem(fromPath, toPath))); },
      reply);
}

}  // namespace corvane::host

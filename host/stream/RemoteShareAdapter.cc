#include "host/stream/RemoteShareAdapter.h"

#include <unistd.h>

#include "host/HostError.h"
#include "host/stream/RemoteTransfers.h"
#include "platform/foundation/PathString.h"

namespace corvane::host {

RemoteShareAdapter::RemoteShareAdapter(std::shared_ptr<RemoteShare> share, std::shared_ptr<ContentCache> cache,
                                       std::weak_ptr<WorkerPool> pool)
    : share_(std::move(share)),
      cache_(std::move(cache)),
      pool_(std::move(pool)),
      statAhead_(std::make_shared<StatAhead>()),
      seen_(std::make_shared<SeenFiles>()),
      readAhead_(std::make_shared<ReadAhead>()) {}

// The next small files of the folder, each its stat and then its fetch, on the
// pool's background lane so that what a program waits for goes first.
void RemoteShareAdapter::readAheadOf(const std::string& peerId, const std::string& path) {
  for (ReadAhead::Planned& planned : readAhead_->after(path)) {
    auto ahead = readAhead_;
    auto job = [share = share_, cache = cache_, ahead, peerId, planned] {
      auto entry = statRemote(*share, peerId, planned.path);
      if (!entry.ok() || !*entry || (*entry)->isDir()) return ahead->gaveUp(planned);
      auto copy = fetchRemote(*share, *cache, planned.path);
      if (!copy.ok()) return ahead->gaveUp(planned);
      ahead->fetched(planned, std::move(*copy), std::move(*entry));
    };
    run(
        std::move(job), [ahead, planned](const foundation::Error&) { ahead->gaveUp(planned); },
        WorkerPool::Lane::background);
  }
}

VfsXpcProtocol::EntryReply RemoteShareAdapter::noting(const std::string& path, EntryReply reply) const {
  return [seen = seen_, ahead = readAhead_, path, reply = std::move(reply)](
             std::shared_ptr<const VfsFileEntryDto> entry, Error error) {
    if (!error) {
      seen->saw(path, entry);
      ahead->statted(path, entry);
    }
    reply(std::move(entry), std::move(error));
  };
}

std::shared_ptr<VfsXpcProtocol> RemoteShareAdapter::far(const std::string& peerId,
                                                        const std::function<void(foundation::Error)>& fail) {
  if (auto foreign = foreignPeerError(share_->options().peerId, peerId)) {
    fail(std::move(*foreign));
    return nullptr;
  }
  auto proxy = share_->proxy<VfsXpcProtocol>(fail);
  if (!proxy) fail(share_->notConnected());
  return proxy;
}

template <typename Work, typename Refuse>
void RemoteShareAdapter::run(Work work, Refuse refuse, WorkerPool::Lane lane) {
  std::shared_ptr<WorkerPool> pool = pool_.lock();
  if (!pool || !pool->submit(std::move(work), lane)) {
    refuse(vfsError(VfsErrorCode::serviceUnavailable, "The host is stopping"));
  }
}

// The link to the extension is up when this host is: whether the far side is
// there is each call's own answer.
void RemoteShareAdapter::ping(const std::string& peerId, std::uint64_t, ErrorReply reply) {
  reply(foreignPeerError(share_->options().peerId, peerId));
}

void RemoteShareAdapter::listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                       EntriesReply reply) {
  if (auto p = far(peerId, [reply](foundation::Error e) { reply(std::nullopt, std::move(e)); })) {
    p->listDirectory(peerId, path, flowId, [ahead = readAhead_, path, reply](Entries entries, Error error) {
      if (!error) ahead->listed(path, entries);
      reply(std::move(entries), std::move(error));
    });
  }
}

void RemoteShareAdapter::getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) {
  if (auto p = far(peerId, [reply](foundation::Error e) { reply(std::nullopt, std::move(e)); })) {
    p->getCurrentToken(peerId, flowId, std::move(reply));
  }
}

void RemoteShareAdapter::readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                                     const std::string& flowId, ChangesReply reply) {
  if (auto p = far(peerId, [reply](foundation::Error e) { reply(nullptr, std::move(e)); })) {
    p->readChanges(peerId, path, sinceToken, flowId,
                   [ahead = readAhead_, path, reply](std::shared_ptr<const VfsChangesResultDto> result, Error error) {
                     if (result) {
                       for (const auto& change : result->changes()) {
                         if (!change) continue;
                         const std::string name =
                             change->entry() ? change->entry()->name() : change->removedName().value_or(std::string());
                         if (!name.empty()) ahead->forget(foundation::PathString::appendingPathComponent(path, name));
                       }
                     }
                     reply(std::move(result), std::move(error));
                   });
  }
}

void RemoteShareAdapter::statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                                  EntryReply reply) {
  if (!foreignPeerError(share_->options().peerId, peerId) && statAhead_->take(path, reply)) return;
  if (auto p = far(peerId, [reply](foundation::Error e) { reply(nullptr, std::move(e)); })) {
    p->statItem(peerId, path, flowId, noting(path, std::move(reply)));
  }
}

void RemoteShareAdapter::fetchFileContents(const std::string& peerId, const std::string& path,
                                           const std::string& flowId, URLReply reply) {
  auto refuse = [reply](foundation::Error e) { reply(std::nullopt, std::move(e)); };
  if (auto foreign = foreignPeerError(share_->options().peerId, peerId)) return refuse(std::move(*foreign));
  readAheadOf(peerId, path);
  // A copy fetched ahead goes out only with its own stat ready for the
  // extension's next look, never a newer one.
  if (auto taken = readAhead_->take(path)) {
    if (statAhead_->put(path, taken->entry)) {
      seen_->saw(path, taken->entry);
      return reply(xpc::FileURL{taken->copy.string()}, std::nullopt);
    }
    ::unlink(taken->copy.c_str());
  }
  if (auto sequence = statAhead_->begin(path)) {
    auto settle = noting(path, [ahead = statAhead_, path, sequence = *sequence](
                                   std::shared_ptr<const VfsFileEntryDto> entry, Error error) {
      ahead->settle(path, sequence, std::move(entry), std::move(error));
    });
    if (auto p = share_->proxy<VfsXpcProtocol>([settle](foundation::Error e) { settle(nullptr, std::move(e)); })) {
      p->statItem(peerId, path, flowId, settle);
    } else {
      settle(nullptr, share_->notConnected());
    }
  }
  run(
      [share = share_, cache = cache_, path, reply] {
        auto fetched = fetchRemote(*share, *cache, path);
        if (!fetched.ok()) return reply(std::nullopt, fetched.error());
        reply(xpc::FileURL{fetched->string()}, std::nullopt);
      },
      refuse, WorkerPool::Lane::standard);
}

void RemoteShareAdapter::uploadFile(const std::string& peerId, const std::string& localFileUrl,
                                    const std::string& remotePath, const std::string&, ErrorReply reply) {
  if (auto foreign = foreignPeerError(share_->options().peerId, peerId)) return reply(std::move(foreign));
  run(
      [share = share_, seen = seen_, ahead = readAhead_, localFileUrl, remotePath, reply] {
        ahead->forget(remotePath);
        foundation::Status stored = uploadRemote(*share, localFileUrl, remotePath, seen->take(remotePath));
        seen->forget(remotePath);
        reply(stored.ok() ? std::nullopt : std::optional(stored.error()));
      },
      reply, WorkerPool::Lane::background);
}

void RemoteShareAdapter::createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                         ErrorReply reply) {
  seen_->forget(path);
  readAhead_->forget(path);
  if (auto p = far(peerId, reply)) p->createDirectory(peerId, path, flowId, std::move(reply));
}

void RemoteShareAdapter::deleteItem(const std::string& peerId, const std::string& path, bool isDir,
                                    const std::string& flowId, ErrorReply reply) {
  seen_->forget(path);
  readAhead_->forget(path);
  if (auto p = far(peerId, reply)) p->deleteItem(peerId, path, isDir, flowId, std::move(reply));
}

void RemoteShareAdapter::renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                                    const std::string& flowId, ErrorReply reply) {
  for (const std::string* changed : {&fromPath, &toPath}) {
    seen_->forget(*changed);
    readAhead_->forget(*changed);
  }
  if (auto p = far(peerId, reply)) p->renameItem(peerId, fromPath, toPath, flowId, std::move(reply));
}

void RemoteServedShare::exportOn(const std::shared_ptr<xpc::Connection>& connection, std::weak_ptr<WorkerPool> pool,
                                 std::shared_ptr<const HostFaults>) {
  registerVfsXpcClasses();
  connection->setExportedInterface(xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec()));
  connection->setExportedObject<VfsXpcProtocol>(std::make_shared<RemoteShareAdapter>(share_, cache_, std::move(pool)));
}

}  // namespace corvane::host

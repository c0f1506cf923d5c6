// HostVfsAdapter: the host's side of VfsXpcProtocol on one connection. It answers
// the extension's calls from one HostVfsService (one peer's share), turning the
// service's plain values into transfer objects and back. Every call is answered
// exactly once: by the service's result, by an injected fault (HostFaults), or —
// for a "drop" fault only — by closing the connection, which the caller's proxy
// reports instead of a reply.
//
// Threading: the protocol methods run on the connection's queue. The ping, calls
// for another peer, faults and the stat of one item are answered there at once
// (a stat costs less than the hand-off to a worker, and follows every upload);
// other file work runs on the worker pool and is answered from the worker,
// uploads on its background lane. The adapter holds the service and the pool
// weakly, so their owner decides when they end; once either is gone (or, for
// the calls that need a worker, the pool has shut down) calls are answered
// with -16 "service_unavailable".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/HostFaults.h"
#include "host/HostVfsService.h"
#include "host/WorkerPool.h"
#include "platform/xpc/Connection.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

class HostVfsAdapter final : public VfsXpcProtocol {
 public:
  // `connection` is the one this adapter is exported on (it only serves "drop"
  // faults). `faults` may be null for none.
  HostVfsAdapter(const std::shared_ptr<HostVfsService>& service, std::weak_ptr<WorkerPool> pool,
                 std::shared_ptr<const HostFaults> faults, std::weak_ptr<xpc::Connection> connection);

  // Exports a new adapter on `connection` (not yet resumed): exported interface
  // and object. The remote interface is the caller's business.
  static void exportOn(const std::shared_ptr<xpc::Connection>& connection,
                       const std::shared_ptr<HostVfsService>& service, std::weak_ptr<WorkerPool> pool,
                       std::shared_ptr<const HostFaults> faults);

  // Nil for the served peer (the connection generation is not checked: the host
  // accepts whichever attempt the extension probes); -16 for any other peer.
  void ping(const std::string& peerId, std::uint64_t connectionGeneration, ErrorReply reply) override;
  void listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                     EntriesReply reply) override;
  void getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) override;
  void readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                   const std::string& flowId, ChangesReply reply) override;
  void statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                EntryReply reply) override;
  void fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                         URLReply reply) override;
  // `localFileUrl` must be an absolute path (-1 otherwise).
  void uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                  const std::string& flowId, ErrorReply reply) override;
  void createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                       ErrorReply reply) override;
  void deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                  ErrorReply reply) override;
  void renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                  const std::string& flowId, ErrorReply reply) override;

 private:
  // The fault for this call, if any; a drop fault closes the connection here.
  // Every protocol method starts here, so it also checks that it runs on the
  // connection's queue (debug builds).
  std::optional<FaultReply> fault(const char* selector, std::initializer_list<std::string_view> paths) const;
  // Absent when `peerId` is the served peer, else the error to answer with.
  std::optional<foundation::Error> foreignPeer(const std::string& peerId) const;
  // Runs `work(service)` on the pool, or calls `refuse` with -16 when the
  // service or the pool is gone.
  template <typename Work, typename Refuse>
  void run(Work work, Refuse refuse, WorkerPool::Lane lane = WorkerPool::Lane::standard);
  // As run(), but right here on the connection's queue.
  template <typename Work, typename Refuse>
  void runHere(Work work, Refuse refuse);

  // Constant after construction.
  const std::string peerId_;
  const std::weak_ptr<HostVfsService> service_;
  const std::weak_ptr<WorkerPool> pool_;
  const std::shared_ptr<const HostFaults> faults_;
  const std::weak_ptr<xpc::Connection> connection_;
};

}  // namespace corvane::host

// RemoteShareAdapter: the host's side of VfsXpcProtocol for a peer whose share
// is on another machine. The extension's calls go on over the share's stream
// as they are (listings, changes, names) or as chunked transfers (contents,
// on the worker pool), and their answers come back unchanged, so the extension
// cannot tell this peer from a local one but by its latency. A fetch sends the
// stat the extension makes after it at the same time (StatAhead), and the
// next small files of its folder start on their way (ReadAhead); an upload
// replaces the far file only if it is still as last statted (SeenFiles).
//
// With no stream up, a call is answered at once with -11 "vfs_not_connected"
// (the extension's server unreachable); a call whose stream ends before its
// answer gets -4 "channel_closed". Every call is answered exactly once.
#pragma once

#include <memory>
#include <string>

#include "host/ContentCache.h"
#include "host/HostLink.h"
#include "host/WorkerPool.h"
#include "host/stream/ReadAhead.h"
#include "host/stream/RemoteShare.h"
#include "host/stream/SeenFiles.h"
#include "host/stream/StatAhead.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

class RemoteShareAdapter final : public VfsXpcProtocol {
 public:
  RemoteShareAdapter(std::shared_ptr<RemoteShare> share, std::shared_ptr<ContentCache> cache,
                     std::weak_ptr<WorkerPool> pool);

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
  void uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                  const std::string& flowId, ErrorReply reply) override;
  void createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                       ErrorReply reply) override;
  void deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                  ErrorReply reply) override;
  void renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                  const std::string& flowId, ErrorReply reply) override;

 private:
  // A proxy to the far side whose failure calls `fail` once, or null after
  // calling `fail` with why there is none (or the peer is not this one's).
  std::shared_ptr<VfsXpcProtocol> far(const std::string& peerId, const std::function<void(foundation::Error)>& fail);
  template <typename Work, typename Refuse>
  void run(Work work, Refuse refuse, WorkerPool::Lane lane);
  // Starts fetching the files after `path` in its folder.
  void readAheadOf(const std::string& peerId, const std::string& path);
  // `reply`, noting the far file as the answer shows it.
  EntryReply noting(const std::string& path, EntryReply reply) const;

  const std::shared_ptr<RemoteShare> share_;
  const std::shared_ptr<ContentCache> cache_;
  const std::weak_ptr<WorkerPool> pool_;
  const std::shared_ptr<StatAhead> statAhead_;  // the stat sent beside each fetch
  const std::shared_ptr<SeenFiles> seen_;       // each far file as last statted, for the uploads' check
  const std::shared_ptr<ReadAhead> readAhead_;  // small files fetched before they are asked for
};

// A share on another machine, as a HostLink serves it to the extension.
class RemoteServedShare final : public ServedShare {
 public:
  RemoteServedShare(std::shared_ptr<RemoteShare> share, std::shared_ptr<ContentCache> cache)
      : share_(std::move(share)), cache_(std::move(cache)) {}
  const std::string& peerId() const override { return share_->options().peerId; }
  // Test faults are for local shares; this one's faults are real ones.
  void exportOn(const std::shared_ptr<xpc::Connection>& connection, std::weak_ptr<WorkerPool> pool,
                std::shared_ptr<const HostFaults> faults) override;

 private:
  const std::shared_ptr<RemoteShare> share_;
  const std::shared_ptr<ContentCache> cache_;
};

}  // namespace corvane::host

// The calling side of VfsXpcProtocol: turns each call into a message on the
// connection and each reply back into a call of the reply block. Made by
// Connection::remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(); thread-safe.
#pragma once

#include "platform/xpc/Protocol.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane {

class VfsXpcProxy final : public VfsXpcProtocol {
 public:
  explicit VfsXpcProxy(xpc::RemoteChannel channel) : channel_(std::move(channel)) {}

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
  void sendErrorOnly(Method method, xpc::MessageWriter&& call, ErrorReply reply);

  const xpc::RemoteChannel channel_;
};

}  // namespace corvane

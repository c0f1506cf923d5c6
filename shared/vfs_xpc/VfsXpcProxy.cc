#include "shared/vfs_xpc/VfsXpcProxy.h"

namespace corvane {

void VfsXpcProxy::sendErrorOnly(Method method, xpc::MessageWriter&& call, ErrorReply reply) {
  channel_.send(method, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(std::move(error));
    return true;
  });
}

void VfsXpcProxy::ping(const std::string& peerId, std::uint64_t connectionGeneration, ErrorReply reply) {
  auto call = channel_.beginCall(kPing);
  call.writeString(peerId);
  call.writeUInt64(connectionGeneration);
  sendErrorOnly(kPing, std::move(call), std::move(reply));
}

void VfsXpcProxy::listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                EntriesReply reply) {
  auto call = channel_.beginCall(kListDirectory);
  call.writeString(peerId);
  call.writeString(path);
  call.writeString(flowId);
  channel_.send(kListDirectory, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    Entries entries = r.readCodableArray<VfsFileEntryDto>();
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(std::move(entries), std::move(error));
    return true;
  });
}

void VfsXpcProxy::getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) {
  auto call = channel_.beginCall(kGetCurrentToken);
  call.writeString(peerId);
  call.writeString(flowId);
  channel_.send(kGetCurrentToken, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    std::optional<xpc::Number> number = r.readNumber();
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(number ? std::optional<std::uint64_t>(number->unsignedValue()) : std::nullopt, std::move(error));
    return true;
  });
}

void VfsXpcProxy::readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                              const std::string& flowId, ChangesReply reply) {
  auto call = channel_.beginCall(kReadChanges);
  call.writeString(peerId);
  call.writeString(path);
  call.writeUInt64(sinceToken);
  call.writeString(flowId);
  channel_.send(kReadChanges, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    auto result = r.readCodable<VfsChangesResultDto>();
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(std::move(result), std::move(error));
    return true;
  });
}

void VfsXpcProxy::statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                           EntryReply reply) {
  auto call = channel_.beginCall(kStatItem);
  call.writeString(peerId);
  call.writeString(path);
  call.writeString(flowId);
  channel_.send(kStatItem, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    auto entry = r.readCodable<VfsFileEntryDto>();
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(std::move(entry), std::move(error));
    return true;
  });
}

void VfsXpcProxy::fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                                    URLReply reply) {
  auto call = channel_.beginCall(kFetchFileContents);
  call.writeString(peerId);
  call.writeString(path);
  call.writeString(flowId);
  channel_.send(kFetchFileContents, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
    std::optional<xpc::FileURL> url = r.readURL();
    Error error = r.readError();
    if (!r.ok()) return false;
    reply(std::move(url), std::move(error));
    return true;
  });
}

void VfsXpcProxy::uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                             const std::string& flowId, ErrorReply reply) {
  auto call = channel_.beginCall(kUploadFile);
  call.writeString(peerId);
  call.writeString(localFileUrl);
  call.writeString(remotePath);
  call.writeString(flowId);
  sendErrorOnly(kUploadFile, std::move(call), std::move(reply));
}

void VfsXpcProxy::createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                  ErrorReply reply) {
  auto call = channel_.beginCall(kCreateDirectory);
  call.writeString(peerId);
  call.writeString(path);
  call.writeString(flowId);
  sendErrorOnly(kCreateDirectory, std::move(call), std::move(reply));
}

void VfsXpcProxy::deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                             ErrorReply reply) {
  auto call = channel_.beginCall(kDeleteItem);
  call.writeString(peerId);
  call.writeString(path);
  call.writeBool(isDir);
  call.writeString(flowId);
  sendErrorOnly(kDeleteItem, std::move(call), std::move(reply));
}

void VfsXpcProxy::renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                             const std::string& flowId, ErrorReply reply) {
  auto call = channel_.beginCall(kRenameItem);
  call.writeString(peerId);
  call.writeString(fromPath);
  call.writeString(toPath);
  call.writeString(flowId);
  sendErrorOnly(kRenameItem, std::move(call), std::move(reply));
}

}  // namespace corvane

std::shared_ptr<corvane::VfsXpcProtocol> xpc::ProtocolTraits<corvane::VfsXpcProtocol>::makeProxy(
    xpc::RemoteChannel channel) {
  return std::make_shared<corvane::VfsXpcProxy>(std::move(channel));
}

#include "tests/support/ScriptedHost.h"

#include "platform/xpc/Interface.h"
#include "tests/support/Waiter.h"

namespace corvane::testing {

foundation::Error ScriptedHost::unscriptedError() {
  return foundation::Error("com.vandrel.corvane.vfs.xpc", -12,
                           foundation::UserInfo{{"corvane.error.code", std::string("io")},
                                                {foundation::kLocalizedDescriptionKey, std::string("unscripted")}});
}

void ScriptedHost::record(std::string call, std::string flowId) {
  std::lock_guard guard(mutex_);
  calls_.push_back(std::move(call));
  flowIds_.push_back(std::move(flowId));
}

std::vector<std::string> ScriptedHost::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

std::vector<std::string> ScriptedHost::flowIds() const {
  std::lock_guard guard(mutex_);
  return flowIds_;
}

void ScriptedHost::ping(const std::string& peerId, std::uint64_t generation, ErrorReply reply) {
  record("ping " + peerId + " " + std::to_string(generation), "");
  onPing(peerId, generation, std::move(reply));
}

void ScriptedHost::listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                 EntriesReply reply) {
  record("listDirectory " + peerId + " " + path, flowId);
  if (onListDirectory) return onListDirectory(peerId, path, std::move(reply));
  reply(std::nullopt, unscriptedError());
}

void ScriptedHost::getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) {
  record("getCurrentToken " + peerId, flowId);
  if (onGetCurrentToken) return onGetCurrentToken(peerId, std::move(reply));
  reply(std::nullopt, unscriptedError());
}

void ScriptedHost::readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                               const std::string& flowId, ChangesReply reply) {
  record("readChanges " + peerId + " " + path + " " + std::to_string(sinceToken), flowId);
  if (onReadChanges) return onReadChanges(peerId, path, sinceToken, std::move(reply));
  reply(nullptr, unscriptedError());
}

void ScriptedHost::statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                            EntryReply reply) {
  record("statItem " + peerId + " " + path, flowId);
  if (onStatItem) return onStatItem(peerId, path, std::move(reply));
  reply(nullptr, unscriptedError());
}

void ScriptedHost::fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                                     URLReply reply) {
  record("fetchFileContents " + peerId + " " + path, flowId);
  if (onFetchFileContents) return onFetchFileContents(peerId, path, std::move(reply));
  reply(std::nullopt, unscriptedError());
}

void ScriptedHost::uploadFile(const std::string& peerId, const std::string& localFileUrl,
                              const std::string& remotePath, const std::string& flowId, ErrorReply reply) {
  record("uploadFile " + peerId + " " + remotePath, flowId);
  if (onUploadFile) return onUploadFile(peerId, localFileUrl, remotePath, std::move(reply));
  reply(unscriptedError());
}

void ScriptedHost::createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                   ErrorReply reply) {
  record("createDirectory " + peerId + " " + path, flowId);
  if (onCreateDirectory) return onCreateDirectory(peerId, path, std::move(reply));
  reply(unscriptedError());
}

void ScriptedHost::deleteItem(const std::string& peerId, const std::string& path, bool isDir,
                              const std::string& flowId, ErrorReply reply) {
  record("deleteItem " + peerId + " " + path + (isDir ? " dir" : " file"), flowId);
  if (onDeleteItem) return onDeleteItem(peerId, path, isDir, std::move(reply));
  reply(unscriptedError());
}

void ScriptedHost::renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                              const std::string& flowId, ErrorReply reply) {
  record("renameItem " + peerId + " " + fromPath + " " + toPath, flowId);
  if (onRenameItem) return onRenameItem(peerId, fromPath, toPath, std::move(reply));
  reply(unscriptedError());
}

void HostConnection::activateAsync(const std::string& peerId,
                                   std::function<void(std::optional<foundation::Error>)> done) {
  auto shared = std::make_shared<std::function<void(std::optional<foundation::Error>)>>(std::move(done));
  auto proxy = connection->remoteObjectProxyWithErrorHandler<VfsFileProviderControlProtocol>(
      [shared](const foundation::Error& error) { (*shared)(error); });
  proxy->activateHost(peerId, [shared](std::optional<foundation::Error> error) { (*shared)(std::move(error)); });
}

std::optional<std::optional<foundation::Error>> HostConnection::activate(const std::string& peerId) {
  auto answer = std::make_shared<Waiter<std::optional<foundation::Error>>>();
  activateAsync(peerId, [answer](std::optional<foundation::Error> error) { answer->set(std::move(error)); });
  return answer->wait();
}

HostConnection connectHost(const xpc::ListenerEndpoint& endpoint, std::shared_ptr<ScriptedHost> host) {
  HostConnection side;
  side.host = std::move(host);
  side.connection = xpc::Connection::withEndpoint(endpoint);
  side.connection->setExportedInterface(xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec()));
  side.connection->setExportedObject<VfsXpcProtocol>(side.host);
  side.connection->setRemoteObjectInterface(VfsFileProviderControlInterfaceBuilder::createInterface());
  side.connection->resume();
  return side;
}

}  // namespace corvane::testing

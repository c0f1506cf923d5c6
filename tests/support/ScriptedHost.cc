#include "tests/support/ScriptedHost.h"

#include <type_traits>

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

// Runs the test's handler, or answers the unscripted error when there is none.
template <typename Handler, typename Reply, typename... Args>
static void serve(const Handler& handler, Reply reply, Args&&... args) {
  if (!handler) {
    if constexpr (std::is_invocable_v<Reply, std::optional<foundation::Error>>) {
      reply(ScriptedHost::unscriptedError());
    } else {
      reply({}, ScriptedHost::unscriptedError());
    }
    return;
  }
  handler(std::forward<Args>(args)..., std::move(reply));
}

void ScriptedHost::listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                 EntriesReply reply) {
  record("listDirectory " + peerId + " " + path, flowId);
  serve(onListDirectory, std::move(reply), peerId, path);
}

void ScriptedHost::getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) {
  record("getCurrentToken " + peerId, flowId);
  serve(onGetCurrentToken, std::move(reply), peerId);
}

void ScriptedHost::readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                               const std::string& flowId, ChangesReply reply) {
  record("readChanges " + peerId + " " + path + " " + std::to_string(sinceToken), flowId);
  serve(onReadChanges, std::move(reply), peerId, path, sinceToken);
}

void ScriptedHost::statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                            EntryReply reply) {
  record("statItem " + peerId + " " + path, flowId);
  serve(onStatItem, std::move(reply), peerId, path);
}

void ScriptedHost::fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                                     URLReply reply) {
  record("fetchFileContents " + peerId + " " + path, flowId);
  serve(onFetchFileContents, std::move(reply), peerId, path);
}

void ScriptedHost::uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                              const std::string& flowId, ErrorReply reply) {
  record("uploadFile " + peerId + " " + remotePath, flowId);
  serve(onUploadFile, std::move(reply), peerId, localFileUrl, remotePath);
}

void ScriptedHost::createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                                   ErrorReply reply) {
  record("createDirectory " + peerId + " " + path, flowId);
  serve(onCreateDirectory, std::move(reply), peerId, path);
}

void ScriptedHost::deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                              ErrorReply reply) {
  record("deleteItem " + peerId + " " + path + (isDir ? " dir" : " file"), flowId);
  serve(onDeleteItem, std::move(reply), peerId, path, isDir);
}

void ScriptedHost::renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                              const std::string& flowId, ErrorReply reply) {
  record("renameItem " + peerId + " " + fromPath + " " + toPath, flowId);
  serve(onRenameItem, std::move(reply), peerId, fromPath, toPath);
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

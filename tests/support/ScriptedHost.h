// ScriptedHost: the host side of the link for tests — a VfsXpcProtocol whose every
// operation runs a handler the test sets, exported on a real connection to the
// extension's service source. Unscripted operations answer a host error, so a
// test notices a call it did not expect. Handlers run on the connection's queue;
// a handler may keep its reply and answer later from another thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/Connection.h"
#include "shared/vfs_xpc/VfsFileProviderControlProtocol.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::testing {

class ScriptedHost final : public VfsXpcProtocol {
 public:
  std::function<void(const std::string& peerId, std::uint64_t generation, ErrorReply)> onPing =
      [](const std::string&, std::uint64_t, ErrorReply reply) { reply(std::nullopt); };
  std::function<void(const std::string& peerId, const std::string& path, EntriesReply)> onListDirectory;
  std::function<void(const std::string& peerId, TokenReply)> onGetCurrentToken;
  std::function<void(const std::string& peerId, const std::string& path, std::uint64_t since, ChangesReply)>
      onReadChanges;
  std::function<void(const std::string& peerId, const std::string& path, EntryReply)> onStatItem;
  std::function<void(const std::string& peerId, const std::string& path, URLReply)> onFetchFileContents;
  std::function<void(const std::string& peerId, const std::string& localFile, const std::string& remotePath,
                     ErrorReply)>
      onUploadFile;
  std::function<void(const std::string& peerId, const std::string& path, ErrorReply)> onCreateDirectory;
  std::function<void(const std::string& peerId, const std::string& path, bool isDir, ErrorReply)> onDeleteItem;
  std::function<void(const std::string& peerId, const std::string& from, const std::string& to, ErrorReply)>
      onRenameItem;

  // Every call received, as "selector peer arg…", in arrival order.
  std::vector<std::string> calls() const;
  // The flow ids the calls carried (empty text for ping), in arrival order.
  std::vector<std::string> flowIds() const;

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

  // The error unscripted operations answer: host domain, -12 "io".
  static foundation::Error unscriptedError();

 private:
  void record(std::string call, std::string flowId);

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::string> flowIds_;
};

// One host connection to an extension's service source.
struct HostConnection {
  std::shared_ptr<xpc::Connection> connection;
  std::shared_ptr<ScriptedHost> host;

  // Sends "activateHostWithPeerId:reply:" and waits for the answer: the reply's
  // error (absent for success), or the link's error when no reply came. Absent
  // outer optional: nothing at all within the timeout.
  std::optional<std::optional<foundation::Error>> activate(const std::string& peerId);
  // Sends the activation without waiting; `done` gets the reply's or the link's error.
  void activateAsync(const std::string& peerId, std::function<void(std::optional<foundation::Error>)> done);
};

// Connects to `endpoint`, exports `host` as the VFS service and resumes.
HostConnection connectHost(const xpc::ListenerEndpoint& endpoint,
                           std::shared_ptr<ScriptedHost> host = std::make_shared<ScriptedHost>());

}  // namespace corvane::testing

// VfsXpcProtocol: the host application's VFS service as the extension calls it.
// The host exports an implementation on the link; the extension holds a proxy
// (connection->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(...)). Each reply
// block is called at most once; through a proxy, exactly one of the reply block or
// the proxy's error handler runs, on the connection's queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/Protocol.h"
#include "shared/vfs_xpc/VfsChangesResultDto.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

// The protocol's one table of operations, in declaration order: the method index,
// the method name, the wire name. The selectors and the Method enum follow from
// it here; the argument types and the reply allow-lists are rows of
// VfsXpcMethodTable, in the same order. Adding an operation: a row here, a row
// there, the virtual below, its proxy and dispatcher cases.
#define CORVANE_VFS_XPC_METHODS(X)                                                           \
  X(kPing, ping, "pingWithPeerId:connectionGeneration:reply:")                               \
  X(kListDirectory, listDirectory, "listDirectoryWithPeerId:path:flowId:reply:")             \
  X(kGetCurrentToken, getCurrentToken, "getCurrentTokenWithPeerId:flowId:reply:")            \
  X(kReadChanges, readChanges, "readChangesWithPeerId:path:sinceToken:flowId:reply:")        \
  X(kStatItem, statItem, "statItemWithPeerId:path:flowId:reply:")                            \
  X(kFetchFileContents, fetchFileContents, "fetchFileContentsWithPeerId:path:flowId:reply:") \
  X(kUploadFile, uploadFile, "uploadFileWithPeerId:localFileUrl:remotePath:flowId:reply:")   \
  X(kCreateDirectory, createDirectory, "createDirectoryWithPeerId:path:flowId:reply:")       \
  X(kDeleteItem, deleteItem, "deleteItemWithPeerId:path:isDir:flowId:reply:")                \
  X(kRenameItem, renameItem, "renameItemWithPeerId:fromPath:toPath:flowId:reply:")

namespace VfsXpcSelectors {
#define CORVANE_VFS_XPC_SELECTOR(index, name, selector) inline constexpr const char* name = selector;
CORVANE_VFS_XPC_METHODS(CORVANE_VFS_XPC_SELECTOR)
#undef CORVANE_VFS_XPC_SELECTOR
}  // namespace VfsXpcSelectors

class VfsXpcProtocol {
 public:
  using Error = std::optional<foundation::Error>;
  using Entries = std::optional<std::vector<std::shared_ptr<const VfsFileEntryDto>>>;

  using ErrorReply = std::function<void(Error error)>;
  using EntriesReply = std::function<void(Entries entries, Error error)>;
  // The NSNumber's unsignedLongLongValue, or absent for nil.
  using TokenReply = std::function<void(std::optional<std::uint64_t> token, Error error)>;
  using ChangesReply = std::function<void(std::shared_ptr<const VfsChangesResultDto> result, Error error)>;
  using EntryReply = std::function<void(std::shared_ptr<const VfsFileEntryDto> entry, Error error)>;
  using URLReply = std::function<void(std::optional<xpc::FileURL> url, Error error)>;

  // Method indices, in declaration order (also the order of the ProtocolSpec).
  // clang-format off
  enum Method : std::size_t {
#define CORVANE_VFS_XPC_INDEX(index, name, selector) index,
    CORVANE_VFS_XPC_METHODS(CORVANE_VFS_XPC_INDEX)
#undef CORVANE_VFS_XPC_INDEX
    kMethodCount
  };
  // clang-format on

  virtual ~VfsXpcProtocol() = default;

  virtual void ping(const std::string& peerId, std::uint64_t connectionGeneration, ErrorReply reply) = 0;
  virtual void listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                             EntriesReply reply) = 0;
  virtual void getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) = 0;
  virtual void readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                           const std::string& flowId, ChangesReply reply) = 0;
  virtual void statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                        EntryReply reply) = 0;
  virtual void fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                                 URLReply reply) = 0;
  // `localFileUrl` is a file-system path, not URL text.
  virtual void uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                          const std::string& flowId, ErrorReply reply) = 0;
  virtual void createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                               ErrorReply reply) = 0;
  virtual void deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                          ErrorReply reply) = 0;
  virtual void renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                          const std::string& flowId, ErrorReply reply) = 0;
};

// One operation's row of the table: its argument types, its reply's, and the
// classes its reply's first argument may hold beyond the declared one (empty: the
// declared class alone).
struct VfsXpcMethodRow {
  VfsXpcProtocol::Method method;
  std::vector<xpc::ArgumentSpec> arguments;
  std::vector<xpc::ArgumentSpec> reply;
  std::vector<std::string_view> replyAllowList;
};

// Every operation, in Method order.
const std::vector<VfsXpcMethodRow>& vfsXpcMethodTable();
const char* vfsXpcSelector(VfsXpcProtocol::Method method);

// Registers the three transfer classes under their plain names. Idempotent.
void registerVfsXpcClasses();

}  // namespace corvane

template <>
struct xpc::ProtocolTraits<corvane::VfsXpcProtocol> {
  // "VfsXpcProtocol": the ten operations with their argument and reply types.
  static const xpc::ProtocolSpec& spec();
  static std::shared_ptr<corvane::VfsXpcProtocol> makeProxy(xpc::RemoteChannel channel);
  static std::shared_ptr<xpc::ExportedObject> makeDispatcher(std::shared_ptr<corvane::VfsXpcProtocol> object);
};

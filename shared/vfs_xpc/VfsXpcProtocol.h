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
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/Protocol.h"
#include "shared/vfs_xpc/VfsChangesResultDto.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

// The wire names of the operations, in declaration order.
namespace VfsXpcSelectors {
inline constexpr const char* ping = "pingWithPeerId:connectionGeneration:reply:";
inline constexpr const char* listDirectory = "listDirectoryWithPeerId:path:flowId:reply:";
inline constexpr const char* getCurrentToken = "getCurrentTokenWithPeerId:flowId:reply:";
inline constexpr const char* readChanges = "readChangesWithPeerId:path:sinceToken:flowId:reply:";
inline constexpr const char* statItem = "statItemWithPeerId:path:flowId:reply:";
inline constexpr const char* fetchFileContents = "fetchFileContentsWithPeerId:path:flowId:reply:";
inline constexpr const char* uploadFile = "uploadFileWithPeerId:localFileUrl:remotePath:flowId:reply:";
inline constexpr const char* createDirectory = "createDirectoryWithPeerId:path:flowId:reply:";
inline constexpr const char* deleteItem = "deleteItemWithPeerId:path:isDir:flowId:reply:";
inline constexpr const char* renameItem = "renameItemWithPeerId:fromPath:toPath:flowId:reply:";
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
  enum Method : std::size_t {
    kPing,
    kListDirectory,
    kGetCurrentToken,
    kReadChanges,
    kStatItem,
    kFetchFileContents,
    kUploadFile,
    kCreateDirectory,
    kDeleteItem,
    kRenameItem,
  };

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

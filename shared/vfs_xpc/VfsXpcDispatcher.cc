#include "shared/vfs_xpc/VfsXpcDispatcher.h"

namespace corvane {

namespace {

VfsXpcProtocol::ErrorReply errorOnly(const xpc::ReplySender& reply) {
  return [reply](VfsXpcProtocol::Error error) {
    auto w = reply.begin();
    w.writeError(error);
    reply.send(std::move(w));
  };
}

}  // namespace

const xpc::ProtocolSpec& VfsXpcDispatcher::protocol() const { return xpc::ProtocolTraits<VfsXpcProtocol>::spec(); }

bool VfsXpcDispatcher::invoke(std::size_t method, xpc::ArgumentReader& a, const xpc::ReplySender& reply) {
  switch (static_cast<VfsXpcProtocol::Method>(method)) {
    case VfsXpcProtocol::kPing: {
      std::string peerId = a.readRequiredString();
      std::uint64_t generation = a.readUInt64();
      if (!a.ok()) return false;
      object_->ping(peerId, generation, errorOnly(reply));
      return true;
    }
    case VfsXpcProtocol::kListDirectory: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->listDirectory(peerId, path, flowId,
                             [reply](VfsXpcProtocol::Entries entries, VfsXpcProtocol::Error error) {
                               auto w = reply.begin();
                               w.writeCodableArray(entries);
                               w.writeError(error);
                               reply.send(std::move(w));
                             });
      return true;
    }
    case VfsXpcProtocol::kGetCurrentToken: {
      std::string peerId = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->getCurrentToken(
          peerId, flowId, [reply](std::optional<std::uint64_t> token, VfsXpcProtocol::Error error) {
            auto w = reply.begin();
            w.writeNumber(token ? std::optional<std::int64_t>(static_cast<std::int64_t>(*token)) : std::nullopt);
            w.writeError(error);
            reply.send(std::move(w));
          });
      return true;
    }
    case VfsXpcProtocol::kReadChanges: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      std::uint64_t sinceToken = a.readUInt64();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->readChanges(peerId, path, sinceToken, flowId,
                           [reply](std::shared_ptr<const VfsChangesResultDto> result, VfsXpcProtocol::Error error) {
                             auto w = reply.begin();
                             w.writeCodable(result.get());
                             w.writeError(error);
                             reply.send(std::move(w));
                           });
      return true;
    }
    case VfsXpcProtocol::kStatItem: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->statItem(peerId, path, flowId,
                        [reply](std::shared_ptr<const VfsFileEntryDto> entry, VfsXpcProtocol::Error error) {
                          auto w = reply.begin();
                          w.writeCodable(entry.get());
                          w.writeError(error);
                          reply.send(std::move(w));
                        });
      return true;
    }
    case VfsXpcProtocol::kFetchFileContents: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->fetchFileContents(peerId, path, flowId,
                                 [reply](std::optional<xpc::FileURL> url, VfsXpcProtocol::Error error) {
                                   auto w = reply.begin();
                                   w.writeURL(url);
                                   w.writeError(error);
                                   reply.send(std::move(w));
                                 });
      return true;
    }
    case VfsXpcProtocol::kUploadFile: {
      std::string peerId = a.readRequiredString();
      std::string localFileUrl = a.readRequiredString();
      std::string remotePath = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->uploadFile(peerId, localFileUrl, remotePath, flowId, errorOnly(reply));
      return true;
    }
    case VfsXpcProtocol::kCreateDirectory: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->createDirectory(peerId, path, flowId, errorOnly(reply));
      return true;
    }
    case VfsXpcProtocol::kDeleteItem: {
      std::string peerId = a.readRequiredString();
      std::string path = a.readRequiredString();
      bool isDir = a.readBool();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->deleteItem(peerId, path, isDir, flowId, errorOnly(reply));
      return true;
    }
    case VfsXpcProtocol::kRenameItem: {
      std::string peerId = a.readRequiredString();
      std::string fromPath = a.readRequiredString();
      std::string toPath = a.readRequiredString();
      std::string flowId = a.readRequiredString();
      if (!a.ok()) return false;
      object_->renameItem(peerId, fromPath, toPath, flowId, errorOnly(reply));
      return true;
    }
    case VfsXpcProtocol::kMethodCount:
      break;
  }
  return false;
}

}  // namespace corvane

std::shared_ptr<xpc::ExportedObject> xpc::ProtocolTraits<corvane::VfsXpcProtocol>::makeDispatcher(
    std::shared_ptr<corvane::VfsXpcProtocol> object) {
  return std::make_shared<corvane::VfsXpcDispatcher>(std::move(object));
}

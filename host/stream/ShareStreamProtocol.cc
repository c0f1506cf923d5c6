#include "host/stream/ShareStreamProtocol.h"

#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"

namespace corvane::host {

namespace {

using P = ShareStreamProtocol;

const char* selectorOf(std::size_t method) {
  static constexpr const char* kSelectors[] = {
#define CORVANE_SHARE_STREAM_SELECTOR(index, name, selector) selector,
      CORVANE_SHARE_STREAM_METHODS(CORVANE_SHARE_STREAM_SELECTOR)
#undef CORVANE_SHARE_STREAM_SELECTOR
  };
  return kSelectors[method - VfsXpcProtocol::kMethodCount];
}

class ShareStreamProxy final : public ShareStreamProtocol {
 public:
  explicit ShareStreamProxy(xpc::RemoteChannel channel) : channel_(std::move(channel)) {}

  void openFetch(const std::string& path, OpenFetchReply reply) override {
    auto call = channel_.beginCall(kOpenFetch);
    call.writeString(path);
    channel_.send(kOpenFetch, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
      const std::uint64_t id = r.readUInt64();
      const std::uint64_t size = r.readUInt64();
      std::optional<std::string_view> head = r.readData();
      Error error = r.readError();
      if (!r.ok() || head.has_value() == error.has_value() || (error && id != 0)) return false;
      // A head is the whole file exactly when no fetch stays open; it is never
      // more than a chunk, nor more than the file.
      if (head && (head->size() > kMaxChunkBytes || head->size() > size || (id == 0) != (head->size() == size))) {
        return false;
      }
      reply(id, size, head, std::move(error));
      return true;
    });
  }

  void readChunk(std::uint64_t fetchId, std::uint64_t offset, std::uint64_t length, ChunkReply reply) override {
    auto call = channel_.beginCall(kReadChunk);
    call.writeUInt64(fetchId);
    call.writeUInt64(offset);
    call.writeUInt64(length);
    channel_.send(kReadChunk, std::move(call), [reply = std::move(reply), length](xpc::ArgumentReader& r) {
      std::optional<std::string_view> bytes = r.readData();
      Error error = r.readError();
      // More than was asked for, or neither bytes nor an error, is a reply to refuse.
      if (!r.ok() || bytes.has_value() == error.has_value() || (bytes && bytes->size() > length)) return false;
      reply(bytes, std::move(error));
      return true;
    });
  }

  void closeFetch(std::uint64_t fetchId, ErrorReply reply) override {
    auto call = channel_.beginCall(kCloseFetch);
    call.writeUInt64(fetchId);
    sendErrorOnly(kCloseFetch, std::move(call), std::move(reply));
  }

  void openUpload(OpenUploadReply reply) override {
    auto call = channel_.beginCall(kOpenUpload);
    channel_.send(kOpenUpload, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
      const std::uint64_t id = r.readUInt64();
      Error error = r.readError();
      if (!r.ok() || (id == 0) == !error) return false;
      reply(id, std::move(error));
      return true;
    });
  }

  void writeChunk(std::uint64_t uploadId, std::uint64_t offset, std::string_view bytes, ErrorReply reply) override {
    auto call = channel_.beginCall(kWriteChunk);
    call.writeUInt64(uploadId);
    call.writeUInt64(offset);
    call.writeData(bytes);
    sendErrorOnly(kWriteChunk, std::move(call), std::move(reply));
  }

  void finishUpload(std::uint64_t uploadId, std::uint64_t size, const std::string& remotePath,
                    std::optional<ExpectedFile> expected, ErrorReply reply) override {
    auto call = channel_.beginCall(kFinishUpload);
    call.writeUInt64(uploadId);
    call.writeUInt64(size);
    call.writeString(remotePath);
    writeExpected(call, expected);
    sendErrorOnly(kFinishUpload, std::move(call), std::move(reply));
  }

  void cancelUpload(std::uint64_t uploadId, ErrorReply reply) override {
    auto call = channel_.beginCall(kCancelUpload);
    call.writeUInt64(uploadId);
    sendErrorOnly(kCancelUpload, std::move(call), std::move(reply));
  }

  void putFile(const std::string& remotePath, std::string_view bytes, std::optional<ExpectedFile> expected,
               ErrorReply reply) override {
    auto call = channel_.beginCall(kPutFile);
    call.writeString(remotePath);
    call.writeData(bytes);
    writeExpected(call, expected);
    sendErrorOnly(kPutFile, std::move(call), std::move(reply));
  }

 private:
  // As four arguments: whether to check, whether the file exists, its size and date.
  static void writeExpected(xpc::MessageWriter& call, const std::optional<ExpectedFile>& expected) {
    call.writeBool(expected.has_value());
    call.writeBool(expected && expected->exists);
    call.writeUInt64(expected ? expected->size : 0);
    call.writeUInt64(expected ? expected->modifiedMs : 0);
  }

  void sendErrorOnly(Method method, xpc::MessageWriter&& call, ErrorReply reply) {
    channel_.send(method, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
      Error error = r.readError();
      if (!r.ok()) return false;
      reply(std::move(error));
      return true;
    });
  }

  const xpc::RemoteChannel channel_;
};

ShareStreamProtocol::ErrorReply errorOnly(const xpc::ReplySender& reply) {
  return [reply](ShareStreamProtocol::Error error) {
    auto w = reply.begin();
    w.writeError(error);
    reply.send(std::move(w));
  };
}

// The four arguments writeExpected wrote: none to check, what to check, or
// absent (the call is refused) for an absent file with a size or a date.
std::optional<std::optional<ExpectedFile>> readExpected(xpc::ArgumentReader& a) {
  const bool checked = a.readBool();
  ExpectedFile expected{a.readBool(), a.readUInt64(), a.readUInt64()};
  if (!expected.exists && (expected.size != 0 || expected.modifiedMs != 0)) return std::nullopt;
  if (!checked) return expected == ExpectedFile{} ? std::optional(std::optional<ExpectedFile>()) : std::nullopt;
  return std::optional(std::optional(expected));
}

class ShareStreamDispatcher final : public xpc::ExportedObject {
 public:
  ShareStreamDispatcher(std::shared_ptr<ShareStreamProtocol> object, std::shared_ptr<VfsXpcProtocol> files)
      : object_(std::move(object)), files_(xpc::ProtocolTraits<VfsXpcProtocol>::makeDispatcher(std::move(files))) {}

  const xpc::ProtocolSpec& protocol() const override { return xpc::ProtocolTraits<P>::spec(); }

  bool invoke(std::size_t method, xpc::ArgumentReader& a, const xpc::ReplySender& reply) override {
    switch (method) {
      // Paths on one machine mean nothing on the other: contents travel in chunks.
      case VfsXpcProtocol::kFetchFileContents:
      case VfsXpcProtocol::kUploadFile:
        return false;
      case P::kOpenFetch: {
        std::string path = a.readRequiredString();
        if (!a.ok()) return false;
        object_->openFetch(
            path, [reply](std::uint64_t id, std::uint64_t size, std::optional<std::string_view> head, P::Error error) {
              auto w = reply.begin();
              w.writeUInt64(id);
              w.writeUInt64(size);
              w.writeData(head);
              w.writeError(error);
              reply.send(std::move(w));
            });
        return true;
      }
      case P::kReadChunk: {
        const std::uint64_t id = a.readUInt64();
        const std::uint64_t offset = a.readUInt64();
        const std::uint64_t length = a.readUInt64();
        if (!a.ok() || length == 0 || length > P::kMaxChunkBytes) return false;
        object_->readChunk(id, offset, length, [reply](std::optional<std::string_view> bytes, P::Error error) {
          auto w = reply.begin();
          w.writeData(bytes);
          w.writeError(error);
          reply.send(std::move(w));
        });
        return true;
      }
      case P::kCloseFetch:
      case P::kCancelUpload: {
        const std::uint64_t id = a.readUInt64();
        if (!a.ok()) return false;
        if (method == P::kCloseFetch) {
          object_->closeFetch(id, errorOnly(reply));
        } else {
          object_->cancelUpload(id, errorOnly(reply));
        }
        return true;
      }
      case P::kOpenUpload:
        object_->openUpload([reply](std::uint64_t id, P::Error error) {
          auto w = reply.begin();
          w.writeUInt64(id);
          w.writeError(error);
          reply.send(std::move(w));
        });
        return true;
      case P::kWriteChunk: {
        const std::uint64_t id = a.readUInt64();
        const std::uint64_t offset = a.readUInt64();
        std::optional<std::string_view> bytes = a.readData();
        if (!a.ok() || !bytes || bytes->size() > P::kMaxChunkBytes) return false;
        object_->writeChunk(id, offset, *bytes, errorOnly(reply));
        return true;
      }
      case P::kPutFile: {
        std::string remotePath = a.readRequiredString();
        std::optional<std::string_view> bytes = a.readData();
        auto expected = readExpected(a);
        if (!a.ok() || !bytes || bytes->size() > P::kMaxChunkBytes || !expected) return false;
        object_->putFile(remotePath, *bytes, *expected, errorOnly(reply));
        return true;
      }
      case P::kFinishUpload: {
        const std::uint64_t id = a.readUInt64();
        const std::uint64_t size = a.readUInt64();
        std::string remotePath = a.readRequiredString();
        auto expected = readExpected(a);
        if (!a.ok() || !expected) return false;
        object_->finishUpload(id, size, remotePath, *expected, errorOnly(reply));
        return true;
      }
      default:
        return method < VfsXpcProtocol::kMethodCount && files_->invoke(method, a, reply);
    }
  }

 private:
  const std::shared_ptr<ShareStreamProtocol> object_;
  const std::shared_ptr<xpc::ExportedObject> files_;
};

}  // namespace

std::shared_ptr<xpc::Interface> makeShareStreamInterface() {
  registerVfsXpcClasses();
  auto interface = xpc::Interface::withProtocol(xpc::ProtocolTraits<P>::spec());
  VfsXpcInterfaceBuilder::setReplyClasses(*interface);
  return interface;
}

}  // namespace corvane::host

const xpc::ProtocolSpec& xpc::ProtocolTraits<corvane::host::ShareStreamProtocol>::spec() {
  using xpc::ArgumentSpec;
  static const xpc::ProtocolSpec kSpec = [] {
    const ArgumentSpec text = ArgumentSpec::object(xpc::classes::NSString);
    const ArgumentSpec error = ArgumentSpec::object(xpc::classes::NSError);
    const ArgumentSpec u64 = ArgumentSpec::uint64();
    const ArgumentSpec flag = ArgumentSpec::boolean();
    using P = corvane::host::ShareStreamProtocol;
    // In Method order.
    std::vector<std::pair<std::vector<ArgumentSpec>, std::vector<ArgumentSpec>>> rows = {
        {{text}, {u64, u64, ArgumentSpec::data(), error}},              // openFetch
        {{u64, u64, u64}, {ArgumentSpec::data(), error}},               // readChunk
        {{u64}, {error}},                                               // closeFetch
        {{}, {u64, error}},                                             // openUpload
        {{u64, u64, ArgumentSpec::data()}, {error}},                    // writeChunk
        {{u64, u64, text, flag, flag, u64, u64}, {error}},              // finishUpload
        {{u64}, {error}},                                               // cancelUpload
        {{text, ArgumentSpec::data(), flag, flag, u64, u64}, {error}},  // putFile
    };
    std::vector<xpc::MethodSpec> methods;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      methods.push_back({corvane::host::selectorOf(corvane::VfsXpcProtocol::kMethodCount + i), std::move(rows[i].first),
                         std::move(rows[i].second)});
    }
    if (methods.size() + corvane::VfsXpcProtocol::kMethodCount != std::size_t{P::kMethodCount}) std::abort();
    return xpc::ProtocolSpec("ShareStreamProtocol", xpc::ProtocolTraits<corvane::VfsXpcProtocol>::spec(),
                             std::move(methods));
  }();
  return kSpec;
}

std::shared_ptr<corvane::host::ShareStreamProtocol> xpc::ProtocolTraits<corvane::host::ShareStreamProtocol>::makeProxy(
    xpc::RemoteChannel channel) {
  return std::make_shared<corvane::host::ShareStreamProxy>(std::move(channel));
}

std::shared_ptr<xpc::ExportedObject> xpc::ProtocolTraits<corvane::host::ShareStreamProtocol>::makeDispatcher(
    std::shared_ptr<corvane::host::ShareStreamProtocol> object, std::shared_ptr<corvane::VfsXpcProtocol> files) {
  return std::make_shared<corvane::host::ShareStreamDispatcher>(std::move(object), std::move(files));
}

#include "shared/vfs_xpc/VfsFileProviderControlProtocol.h"

namespace corvane {
namespace {

class ControlProxy final : public VfsFileProviderControlProtocol {
 public:
  explicit ControlProxy(xpc::RemoteChannel channel) : channel_(std::move(channel)) {}

  void activateHost(const std::string& peerId, ErrorReply reply) override {
    auto call = channel_.beginCall(0);
    call.writeString(peerId);
    channel_.send(0, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
      std::optional<foundation::Error> error = r.readError();
      if (!r.ok()) return false;
      reply(std::move(error));
      return true;
    });
  }

 private:
  xpc::RemoteChannel channel_;
};

class ControlDispatcher final : public xpc::ExportedObject {
 public:
  explicit ControlDispatcher(std::shared_ptr<VfsFileProviderControlProtocol> object) : object_(std::move(object)) {}

  const xpc::ProtocolSpec& protocol() const override {
    return xpc::ProtocolTraits<VfsFileProviderControlProtocol>::spec();
  }

  bool invoke(std::size_t method, xpc::ArgumentReader& arguments, const xpc::ReplySender& reply) override {
    if (method != 0) return false;
    std::string peerId = arguments.readRequiredString();
    if (!arguments.ok()) return false;
    object_->activateHost(peerId, [reply](std::optional<foundation::Error> error) {
      auto w = reply.begin();
      w.writeError(error);
      reply.send(std::move(w));
    });
    return true;
  }

 private:
  std::shared_ptr<VfsFileProviderControlProtocol> object_;
};

}  // namespace

std::shared_ptr<xpc::Interface> VfsFileProviderControlInterfaceBuilder::createInterface() {
  return xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsFileProviderControlProtocol>::spec());
}

}  // namespace corvane

const xpc::ProtocolSpec& xpc::ProtocolTraits<corvane::VfsFileProviderControlProtocol>::spec() {
  static const xpc::ProtocolSpec kSpec("VfsFileProviderControlProtocol",
                                       {{corvane::VfsFileProviderControlProtocol::activateHostSelector,
                                         {xpc::ArgumentSpec::object(xpc::classes::NSString)},
                                         {{xpc::ArgumentSpec::object(xpc::classes::NSError)}}}});
  return kSpec;
}

std::shared_ptr<corvane::VfsFileProviderControlProtocol>
xpc::ProtocolTraits<corvane::VfsFileProviderControlProtocol>::makeProxy(xpc::RemoteChannel channel) {
  return std::make_shared<corvane::ControlProxy>(std::move(channel));
}

std::shared_ptr<xpc::ExportedObject> xpc::ProtocolTraits<corvane::VfsFileProviderControlProtocol>::makeDispatcher(
    std::shared_ptr<corvane::VfsFileProviderControlProtocol> object) {
  return std::make_shared<corvane::ControlDispatcher>(std::move(object));
}

#include "platform/fileprovider/ServiceLookupProtocol.h"

namespace fileprovider {
namespace {

class Proxy final : public ServiceLookupProtocol {
 public:
  explicit Proxy(xpc::RemoteChannel channel) : channel_(std::move(channel)) {}

  void getService(const std::string& serviceName, EndpointReply reply) override {
    auto call = channel_.beginCall(0);
    call.writeString(serviceName);
    channel_.send(0, std::move(call), [reply = std::move(reply)](xpc::ArgumentReader& r) {
      std::optional<std::string> endpoint = r.readString();
      std::optional<foundation::Error> error = r.readError();
      if (!r.ok()) return false;
      reply(std::move(endpoint), std::move(error));
      return true;
    });
  }

 private:
  xpc::RemoteChannel channel_;
};

class Dispatcher final : public xpc::ExportedObject {
 public:
  explicit Dispatcher(std::shared_ptr<ServiceLookupProtocol> object) : object_(std::move(object)) {}

  const xpc::ProtocolSpec& protocol() const override { return xpc::ProtocolTraits<ServiceLookupProtocol>::spec(); }

  bool invoke(std::size_t method, xpc::ArgumentReader& arguments, const xpc::ReplySender& reply) override {
    if (method != 0) return false;
    std::string name = arguments.readRequiredString();
    if (!arguments.ok()) return false;
    object_->getService(name, [reply](std::optional<std::string> endpoint, std::optional<foundation::Error> error) {
      auto w = reply.begin();
      w.writeOptionalString(endpoint);
      w.writeError(error);
      reply.send(std::move(w));
    });
    return true;
  }

 private:
  std::shared_ptr<ServiceLookupProtocol> object_;
};

}  // namespace

std::shared_ptr<xpc::Interface> makeServiceLookupInterface() {
  return xpc::Interface::withProtocol(xpc::ProtocolTraits<ServiceLookupProtocol>::spec());
}

}  // namespace fileprovider

const xpc::ProtocolSpec& xpc::ProtocolTraits<fileprovider::ServiceLookupProtocol>::spec() {
  static const xpc::ProtocolSpec kSpec(
      "FileProviderServiceLookup",
      {{fileprovider::ServiceLookupProtocol::getServiceSelector,
        {xpc::ArgumentSpec::object(xpc::classes::NSString)},
        {{xpc::ArgumentSpec::object(xpc::classes::NSString), xpc::ArgumentSpec::object(xpc::classes::NSError)}}}});
  return kSpec;
}

std::shared_ptr<fileprovider::ServiceLookupProtocol>
xpc::ProtocolTraits<fileprovider::ServiceLookupProtocol>::makeProxy(xpc::RemoteChannel channel) {
  return std::make_shared<fileprovider::Proxy>(std::move(channel));
}

std::shared_ptr<xpc::ExportedObject> xpc::ProtocolTraits<fileprovider::ServiceLookupProtocol>::makeDispatcher(
    std::shared_ptr<fileprovider::ServiceLookupProtocol> object) {
  return std::make_shared<fileprovider::Dispatcher>(std::move(object));
}

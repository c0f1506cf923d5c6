#include "tests/platform/xpc/TestEchoProtocol.h"

namespace xpc::testing {

void EchoService::hold(const std::string& text, TextReply reply) {
  std::lock_guard lock(mutex_);
  held_.emplace_back(text, std::move(reply));
}

void EchoService::notify(const std::string& text) {
  std::lock_guard lock(mutex_);
  notes_.push_back(text);
}

std::size_t EchoService::heldCount() {
  std::lock_guard lock(mutex_);
  return held_.size();
}

void EchoService::answerHeld() {
  std::vector<std::pair<std::string, TextReply>> held;
  {
    std::lock_guard lock(mutex_);
    held.swap(held_);
  }
  for (auto& [text, reply] : held) reply(text, std::nullopt);
}

void EchoService::dropHeld() {
  std::vector<std::pair<std::string, TextReply>> held;
  std::lock_guard lock(mutex_);
  held.swap(held_);
}

std::vector<std::string> EchoService::notes() {
  std::lock_guard lock(mutex_);
  return notes_;
}

namespace {

class Proxy final : public TestEchoProtocol {
 public:
  explicit Proxy(RemoteChannel channel) : channel_(std::move(channel)) {}
  void echo(const std::string& text, TextReply reply) override { call(kEcho, text, std::move(reply)); }
  void hold(const std::string& text, TextReply reply) override { call(kHold, text, std::move(reply)); }
  void notify(const std::string& text) override {
    auto m = channel_.beginCall(kNotify);
    m.writeString(text);
    channel_.send(kNotify, std::move(m), nullptr);
  }

 private:
  void call(Method method, const std::string& text, TextReply reply) {
    auto m = channel_.beginCall(method);
    m.writeString(text);
    channel_.send(method, std::move(m), [reply = std::move(reply)](ArgumentReader& r) {
      auto answer = r.readString();
      auto error = r.readError();
      if (!r.ok()) return false;
      reply(std::move(answer), std::move(error));
      return true;
    });
  }
  const RemoteChannel channel_;
};

class Dispatcher final : public ExportedObject {
 public:
  explicit Dispatcher(std::shared_ptr<TestEchoProtocol> object) : object_(std::move(object)) {}
  const ProtocolSpec& protocol() const override { return ProtocolTraits<TestEchoProtocol>::spec(); }
  bool invoke(std::size_t method, ArgumentReader& a, const ReplySender& reply) override {
    std::string text = a.readRequiredString();
    if (!a.ok()) return false;
    auto answer = [reply](std::optional<std::string> t, std::optional<foundation::Error> e) {
      auto w = reply.begin();
      w.writeOptionalString(t);
      w.writeError(e);
      reply.send(std::move(w));
    };
    switch (method) {
      case TestEchoProtocol::kEcho:
        object_->echo(text, answer);
        return true;
      case TestEchoProtocol::kHold:
        object_->hold(text, answer);
        return true;
      case TestEchoProtocol::kNotify:
        object_->notify(text);
        return true;
    }
    return false;
  }

 private:
  const std::shared_ptr<TestEchoProtocol> object_;
};

}  // namespace
}  // namespace xpc::testing

const xpc::ProtocolSpec& xpc::ProtocolTraits<xpc::testing::TestEchoProtocol>::spec() {
  static const xpc::ProtocolSpec kSpec = [] {
    const auto text = xpc::ArgumentSpec::object(xpc::classes::NSString);
    const auto error = xpc::ArgumentSpec::object(xpc::classes::NSError);
    return xpc::ProtocolSpec("TestEchoProtocol", {{"echo:reply:", {text}, {{text, error}}},
                                                  {"hold:reply:", {text}, {{text, error}}},
                                                  {"notify:", {text}, std::nullopt}});
  }();
  return kSpec;
}

std::shared_ptr<xpc::testing::TestEchoProtocol> xpc::ProtocolTraits<xpc::testing::TestEchoProtocol>::makeProxy(
    xpc::RemoteChannel channel) {
  return std::make_shared<xpc::testing::Proxy>(std::move(channel));
}

std::shared_ptr<xpc::ExportedObject> xpc::ProtocolTraits<xpc::testing::TestEchoProtocol>::makeDispatcher(
    std::shared_ptr<xpc::testing::TestEchoProtocol> object) {
  return std::make_shared<xpc::testing::Dispatcher>(std::move(object));
}

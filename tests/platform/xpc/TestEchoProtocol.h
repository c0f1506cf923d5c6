// A two-method protocol for exercising the xpc:: layer without the product's
// protocols: echo answers at once; hold leaves the answer (or its absence) to the
// test. Also shows, in miniature, everything a protocol binding needs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Protocol.h"

namespace xpc::testing {

class TestEchoProtocol {
 public:
  using TextReply = std::function<void(std::optional<std::string> text, std::optional<foundation::Error> error)>;
  enum Method : std::size_t { kEcho, kHold, kNotify };

  virtual ~TestEchoProtocol() = default;
  virtual void echo(const std::string& text, TextReply reply) = 0;
  virtual void hold(const std::string& text, TextReply reply) = 0;
  // No reply.
  virtual void notify(const std::string& text) = 0;
};

// Echoes at once; keeps held replies until the test answers or drops them.
class EchoService final : public TestEchoProtocol {
 public:
  void echo(const std::string& text, TextReply reply) override { reply(text, std::nullopt); }
  void hold(const std::string& text, TextReply reply) override;
  void notify(const std::string& text) override;

  std::size_t heldCount();
  // Answers every held call with its own text.
  void answerHeld();
  // Releases every held reply block without calling it.
  void dropHeld();
  std::vector<std::string> notes();

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, TextReply>> held_;
  std::vector<std::string> notes_;
};

}  // namespace xpc::testing

template <>
struct xpc::ProtocolTraits<xpc::testing::TestEchoProtocol> {
  static const xpc::ProtocolSpec& spec();
  static std::shared_ptr<xpc::testing::TestEchoProtocol> makeProxy(xpc::RemoteChannel channel);
  static std::shared_ptr<xpc::ExportedObject> makeDispatcher(std::shared_ptr<xpc::testing::TestEchoProtocol> object);
};

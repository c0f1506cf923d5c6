#include "platform/xpc/Interface.h"

#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace xpc {

namespace {
[[noreturn]] void misuse(std::string_view protocol, std::string_view selector, const char* what) {
  std::fprintf(stderr, "xpc::Interface %.*s, \"%.*s\": %s\n", static_cast<int>(protocol.size()), protocol.data(),
               static_cast<int>(selector.size()), selector.data(), what);
  std::abort();
}
}  // namespace

ProtocolSpec::ProtocolSpec(std::string name, std::vector<MethodSpec> methods)
    : name_(std::move(name)), methods_(std::move(methods)) {
  for (std::size_t i = 0; i < methods_.size(); ++i) {
    if (!bySelector_.emplace(methods_[i].selector, i).second) misuse(name_, methods_[i].selector, "selector twice");
  }
}

ProtocolSpec::ProtocolSpec(std::string name, const ProtocolSpec& base, std::vector<MethodSpec> more)
    : ProtocolSpec(std::move(name), [&] {
        std::vector<MethodSpec> all = base.methods();
        all.insert(all.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
        return all;
      }()) {
  base_ = &base;
}

bool ProtocolSpec::conformsTo(const ProtocolSpec& other) const {
  for (const ProtocolSpec* p = this; p; p = p->base_) {
    if (p == &other) return true;
  }
  return false;
}

std::optional<std::size_t> ProtocolSpec::find(std::string_view selector) const {
  auto it = bySelector_.find(selector);
  if (it == bySelector_.end()) return std::nullopt;
  return it->second;
}

Interface::Interface(const ProtocolSpec& protocol) : protocol_(&protocol) {}

std::shared_ptr<Interface> Interface::withProtocol(const ProtocolSpec& protocol) {
  return std::shared_ptr<Interface>(new Interface(protocol));
}

void Interface::setClasses(const ClassSet& classes, std::string_view selector, std::size_t argumentIndex,
                           bool ofReply) {
  std::optional<std::size_t> m = protocol_->find(selector);
  if (!m) misuse(protocol_->name(), selector, "no such selector");
  const MethodSpec& method = protocol_->method(*m);
  if (ofReply && !method.reply) misuse(protocol_->name(), selector, "method has no reply");
  const auto& args = ofReply ? *method.reply : method.arguments;
  if (argumentIndex >= args.size()) misuse(protocol_->name(), selector, "argument index out of range");
  if (args[argumentIndex].kind != ArgumentKind::object) misuse(protocol_->name(), selector, "not an object argument");
  overrides_[std::make_tuple(*m, argumentIndex, ofReply)] = classes;
}

const ClassSet& Interface::classes(std::size_t method, std::size_t argumentIndex, bool ofReply) const {
  if (!overrides_.empty()) {
    auto it = overrides_.find(std::make_tuple(method, argumentIndex, ofReply));
    if (it != overrides_.end()) return it->second;
  }
  const MethodSpec& m = protocol_->method(method);
  return (ofReply ? m.reply->at(argumentIndex) : m.arguments.at(argumentIndex)).declared;
}

const ClassSet& Interface::classes(std::string_view selector, std::size_t argumentIndex, bool ofReply) const {
  std::optional<std::size_t> m = protocol_->find(selector);
  if (!m) misuse(protocol_->name(), selector, "no such selector");
  return classes(*m, argumentIndex, ofReply);
}

}  // namespace xpc

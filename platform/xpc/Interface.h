// What a protocol looks like on the wire (ProtocolSpec: its methods, their
// selectors and argument types), and xpc::Interface, the stand-in for
// NSXPCInterface: a protocol plus per-argument class allow-lists. A connection
// checks every incoming call against its exported interface and every reply
// against its remote interface.
//
// A ProtocolSpec is a process-lifetime constant. An Interface is configured on one
// thread and copied when installed on a connection, so later changes to it do not
// affect installed copies.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xpc/ClassSet.h"

namespace xpc {

// Argument types as the platform encodes them: BOOL (B), unsigned long long (Q),
// long long (q), or an object of a declared class.
enum class ArgumentKind : std::uint8_t { boolean, uint64, int64, object, data };

struct ArgumentSpec {
  ArgumentKind kind;
  // For objects: the declared class, which is also the default allow-list.
  ClassSet declared;

  static ArgumentSpec boolean() { return {ArgumentKind::boolean, {}}; }
  static ArgumentSpec uint64() { return {ArgumentKind::uint64, {}}; }
  static ArgumentSpec int64() { return {ArgumentKind::int64, {}}; }
  static ArgumentSpec data() { return {ArgumentKind::data, {}}; }
  static ArgumentSpec object(const ClassInfo& cls) { return {ArgumentKind::object, ClassSet{&cls}}; }
};

struct MethodSpec {
  std::string selector;  // the wire name, e.g. "statItemWithPeerId:path:flowId:reply:"
  std::vector<ArgumentSpec> arguments;
  // Arguments of the reply block; absent for a method without a reply.
  std::optional<std::vector<ArgumentSpec>> reply;
};

class ProtocolSpec {
 public:
  ProtocolSpec(std::string name, std::vector<MethodSpec> methods);
  // A protocol that adopts `base`: its first methods are base's, in base's order,
  // so a proxy of the base protocol can be made on an interface of this one.
  ProtocolSpec(std::string name, const ProtocolSpec& base, std::vector<MethodSpec> more);

  const std::string& name() const { return name_; }
  const std::vector<MethodSpec>& methods() const { return methods_; }
  const MethodSpec& method(std::size_t index) const { return methods_.at(index); }
  // Index of the method with that selector, if any.
  std::optional<std::size_t> find(std::string_view selector) const;
  // Whether this protocol is `other` or adopts it.
  bool conformsTo(const ProtocolSpec& other) const;

 private:
  std::string name_;
  const ProtocolSpec* base_ = nullptr;
  std::vector<MethodSpec> methods_;
  std::unordered_map<std::string_view, std::size_t> bySelector_;
};

class Interface {
 public:
  // interfaceWithProtocol:
  static std::shared_ptr<Interface> withProtocol(const ProtocolSpec& protocol);

  const ProtocolSpec& protocol() const { return *protocol_; }

  // setClasses:forSelector:argumentIndex:ofReply: — replaces the allow-list of one
  // object argument. An unknown selector, an index out of range or a non-object
  // argument is a programming error and aborts.
  void setClasses(const ClassSet& classes, std::string_view selector, std::size_t argumentIndex, bool ofReply);

  // The allow-list in force for one object argument (the declared class unless set).
  const ClassSet& classes(std::size_t method, std::size_t argumentIndex, bool ofReply) const;
  const ClassSet& classes(std::string_view selector, std::size_t argumentIndex, bool ofReply) const;

 private:
  explicit Interface(const ProtocolSpec& protocol);

  const ProtocolSpec* protocol_;
  // Keyed by (method, argument, ofReply).
  std::map<std::tuple<std::size_t, std::size_t, bool>, ClassSet> overrides_;
};

}  // namespace xpc

// Building outgoing messages and reading the arguments of incoming ones. Proxies
// write a call's arguments and read its reply; dispatchers read a call's arguments
// and write the reply. Both sides go through the method's ArgumentSpec, so a value
// of the wrong kind or of a class outside the interface's allow-list is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/ValueCodec.h"
#include "platform/xpc/WireFormat.h"

namespace xpc {

// One outgoing frame. Write the arguments in declaration order, then finish().
class MessageWriter {
 public:
  static MessageWriter call(std::string_view selector, bool expectsReply);
  static MessageWriter reply(std::uint64_t sequence);
  // A complete refusal frame: the receiver of `sequence`'s call could not take it.
  static std::vector<std::uint8_t> refusal(std::uint64_t sequence, std::string_view reason);

  void writeBool(bool value);
  void writeUInt64(std::uint64_t value);  // as its two's-complement image
  void writeInt64(std::int64_t value);
  void writeObject(const Object& value);
  void writeString(std::string_view text);
  void writeOptionalString(const std::optional<std::string>& text);  // nil when absent
  void writeCodable(const Codable* object);                    // nil when null
  template <typename T>
  void writeCodableArray(const std::optional<std::vector<std::shared_ptr<const T>>>& items) {
    ++count_;
    if (items) {
      codec::writeCodableArray(w_, *items);
    } else {
      codec::writeNil(w_);
    }
  }
  void writeURL(const std::optional<FileURL>& url);
  void writeNumber(const std::optional<std::int64_t>& number);
  void writeError(const std::optional<foundation::Error>& error);

  // Calls: the sequence number is assigned by the connection just before sending.
  void setSequence(std::uint64_t sequence);
  // Size of the payload so far (the frame without its length prefix).
  std::size_t payloadSize() const { return w_.size() - wire::kFrameHeaderSize; }
  // Fills in the lengths and hands over the frame bytes.
  std::vector<std::uint8_t> finish() &&;

 private:
  MessageWriter() = default;
  wire::ByteWriter w_;
  std::size_t countAt_ = 0;
  std::uint32_t count_ = 0;
};

// The arguments of one validated call or reply, read in declaration order.
// A refused argument leaves defaults and makes ok() false; the caller then drops
// the whole message rather than act on part of it.
class ArgumentReader {
 public:
  ArgumentReader(wire::ByteReader arguments, const Interface& interface, std::size_t method, bool ofReply);

  bool readBool();
  std::uint64_t readUInt64();
  std::int64_t readInt64();
  // An object argument checked against the interface's allow-list for it.
  Object readObject();
  // NSString, or absent for nil.
  std::optional<std::string> readString();
  // NSString that must be present (nil is refused).
  std::string readRequiredString();
  std::optional<foundation::Error> readError();
  std::optional<FileURL> readURL();
  std::optional<Number> readNumber();
  // A keyed object of class T, or null for nil; any other class is refused.
  template <typename T>
  std::shared_ptr<const T> readCodable() {
    Object o = readObject();
    if (o.isNil()) return nullptr;
    auto p = o.as<T>();
    if (!p) refuse();
    return p;
  }
  // An array whose every element is a T, or absent for nil.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<const T>>> readCodableArray() {
    Object o = readObject();
    if (o.isNil()) return std::nullopt;
    const Object::Array* a = o.asArray();
    if (!a) {
      refuse();
      return std::nullopt;
    }
    std::vector<std::shared_ptr<const T>> out;
    out.reserve(a->size());
    for (const Object& item : *a) {
      auto p = item.as<T>();
      if (!p) {
        refuse();
        return std::nullopt;
      }
      out.push_back(std::move(p));
    }
    return out;
  }

  bool ok() const { return status_ == codec::Status::ok; }
  codec::Status status() const { return status_; }

 private:
  const ArgumentSpec* next(ArgumentKind kind);
  void refuse() { fail(codec::Status::refused); }
  void fail(codec::Status s) {
    if (status_ == codec::Status::ok) status_ = s;
  }

  wire::ByteReader r_;
  const Interface& interface_;
  const std::size_t method_;
  const bool ofReply_;
  const std::vector<ArgumentSpec>& specs_;
  std::size_t index_ = 0;
  codec::Status status_ = codec::Status::ok;
};

}  // namespace xpc

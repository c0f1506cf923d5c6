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
#include <type_traits>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/Coder.h"
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
  static wire::Bytes refusal(std::uint64_t sequence, std::string_view reason);

  void writeBool(bool value);
  void writeUInt64(std::uint64_t value);  // as its two's-complement image
  void writeInt64(std::int64_t value);
  void writeObject(const Object& value);
  void writeString(std::string_view text);
  void writeOptionalString(const std::optional<std::string>& text);  // nil when absent
  void writeCodable(const Codable* object);                          // nil when null
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
  // Raw bytes, for an argument declared as data; nil when absent.
  void writeData(const std::optional<std::string_view>& bytes);

  // Calls: the sequence number is assigned by the connection just before sending.
  void setSequence(std::uint64_t sequence);
  // Size of the payload so far (the frame without its length prefix).
  std::size_t payloadSize() const { return w_.size() - wire::kFrameHeaderSize; }
  // Fills in the lengths and hands over the frame bytes.
  wire::Bytes finish() &&;

  // Offers a frame's buffer, once sent, for the calling thread's next message.
  static void recycle(wire::Bytes&& frame);

 private:
  MessageWriter();
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
  // An argument declared as data: its bytes (a view into the message, valid while
  // it is being read), or absent for nil.
  std::optional<std::string_view> readData();
  // A keyed object of class T, or null for nil; any other class is refused
  // before anything is built.
  template <typename T>
  std::shared_ptr<const T> readCodable() {
    static_assert(std::is_final_v<T>, "the allow-list is matched against T's own class");
    const ClassSet* allowed = nextObjectAllowList();
    if (!allowed) return nullptr;
    bool isNil = false;
    wire::ByteReader entries;
    std::uint32_t count = 0;
    codec::Status s = codec::openKeyed(r_, *allowed, T::codableClass(), 0, isNil, entries, count);
    if (s != codec::Status::ok) {
      fail(s);
      return nullptr;
    }
    return isNil ? nullptr : build<T>(entries, count, 1);
  }
  // An array whose every element is a T, or absent for nil. Each element is
  // checked before it is built and built straight from the bytes.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<const T>>> readCodableArray() {
    static_assert(std::is_final_v<T>, "the allow-list is matched against T's own class");
    const ClassSet* allowed = nextObjectAllowList();
    if (!allowed) return std::nullopt;
    bool isNil = false;
    wire::ByteReader elements;
    std::uint32_t count = 0;
    codec::Status s = codec::openArray(r_, *allowed, 0, isNil, elements, count);
    if (s != codec::Status::ok) {
      fail(s);
      return std::nullopt;
    }
    if (isNil) return std::nullopt;
    std::vector<std::shared_ptr<const T>> out;
    out.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      wire::ByteReader entries;
      std::uint32_t entryCount = 0;
      s = codec::openKeyed(elements, *allowed, T::codableClass(), 1, isNil, entries, entryCount);
      if (s == codec::Status::ok && isNil) s = codec::Status::refused;  // an array cannot hold nil
      if (s != codec::Status::ok) {
        fail(s);
        return std::nullopt;
      }
      std::shared_ptr<const T> item = build<T>(entries, entryCount, 2);
      if (!item) return std::nullopt;
      out.push_back(std::move(item));
    }
    return out;
  }

  bool ok() const { return status_ == codec::Status::ok; }
  codec::Status status() const { return status_; }

 private:
  const ArgumentSpec* next(ArgumentKind kind);
  // Steps over the next (object) argument's spec; its allow-list, or null when an
  // earlier argument was already refused.
  const ClassSet* nextObjectAllowList();
  Object readObjectWith(const ClassSet& allowed);
  // A keyed T from its entries (already checked against the allow-list); null,
  // with the refusal recorded, when one of its values was refused.
  template <typename T>
  std::shared_ptr<const T> build(wire::ByteReader entries, std::uint32_t count, int depth) {
    Coder coder(entries, count, depth);
    auto made = std::make_shared<const T>(coder);
    if (coder.failed()) {
      fail(coder.status());
      return nullptr;
    }
    return made;
  }
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

#include "platform/xpc/Message.h"

#include <cstdio>
#include <cstdlib>

namespace xpc {

using wire::MessageKind;
using wire::Tag;

namespace {

// One spare frame buffer per thread. A thread that sends a frame usually builds
// the next one soon after (an I/O thread answering call after call), so reusing
// the buffer saves its allocation and the copies of growing it every message.
constexpr std::size_t kMinFrameBuffer = 256;
constexpr std::size_t kMaxSpareFrameBuffer = 64 * 1024;
thread_local wire::Bytes tlsSpareFrame;

wire::ByteWriter frameWriter() {
  wire::Bytes storage = std::move(tlsSpareFrame);
  tlsSpareFrame = {};
  if (storage.capacity() < kMinFrameBuffer) storage.reserve(kMinFrameBuffer);
  return wire::ByteWriter(std::move(storage));
}

}  // namespace

void MessageWriter::recycle(wire::Bytes&& frame) {
  if (frame.capacity() <= kMaxSpareFrameBuffer && frame.capacity() > tlsSpareFrame.capacity()) {
    tlsSpareFrame = std::move(frame);
  }
}

MessageWriter::MessageWriter() : w_(frameWriter()) {}

MessageWriter MessageWriter::call(std::string_view selector, bool expectsReply) {
  MessageWriter m;
  m.w_.u32(0);
  m.w_.u8(static_cast<std::uint8_t>(MessageKind::call));
  m.w_.u64(0);
  m.w_.u8(expectsReply ? wire::kCallExpectsReply : 0);
  m.w_.text(selector);
  m.countAt_ = m.w_.placeholderU32();
  return m;
}

MessageWriter MessageWriter::reply(std::uint64_t sequence) {
  MessageWriter m;
  m.w_.u32(0);
  m.w_.u8(static_cast<std::uint8_t>(MessageKind::reply));
  m.w_.u64(sequence);
  m.countAt_ = m.w_.placeholderU32();
  return m;
}

wire::Bytes MessageWriter::refusal(std::uint64_t sequence, std::string_view reason) {
  wire::ByteWriter w;
  w.u32(static_cast<std::uint32_t>(1 + 8 + 4 + reason.size()));
  w.u8(static_cast<std::uint8_t>(MessageKind::refusal));
  w.u64(sequence);
  w.text(reason);
  return w.take();
}

void MessageWriter::writeBool(bool value) {
  ++count_;
  codec::writeBool(w_, value);
}
void MessageWriter::writeUInt64(std::uint64_t value) { writeInt64(static_cast<std::int64_t>(value)); }
void MessageWriter::writeInt64(std::int64_t value) {
  ++count_;
  codec::writeInt64(w_, value);
}
void MessageWriter::writeObject(const Object& value) {
  ++count_;
  codec::writeObject(w_, value);
}
void MessageWriter::writeString(std::string_view text) {
  ++count_;
  codec::writeString(w_, text);
}
void MessageWriter::writeOptionalString(const std::optional<std::string>& text) {
  ++count_;
  if (text) {
    codec::writeString(w_, *text);
  } else {
    codec::writeNil(w_);
  }
}
void MessageWriter::writeCodable(const Codable* object) {
  ++count_;
  if (object) {
    codec::writeCodable(w_, *object);
  } else {
    codec::writeNil(w_);
  }
}
void MessageWriter::writeURL(const std::optional<FileURL>& url) {
  ++count_;
  if (url) {
    codec::writeURL(w_, *url);
  } else {
    codec::writeNil(w_);
  }
}
void MessageWriter::writeNumber(const std::optional<std::int64_t>& number) {
  ++count_;
  if (number) {
    codec::writeInt64(w_, *number);
  } else {
    codec::writeNil(w_);
  }
}
void MessageWriter::writeError(const std::optional<foundation::Error>& error) {
  ++count_;
  if (error) {
    codec::writeError(w_, *error);
  } else {
    codec::writeNil(w_);
  }
}

void MessageWriter::writeData(const std::optional<std::string_view>& bytes) {
  ++count_;
  if (bytes) {
    w_.u8(static_cast<std::uint8_t>(Tag::data));
    w_.text(*bytes);
  } else {
    codec::writeNil(w_);
  }
}

void MessageWriter::setSequence(std::uint64_t sequence) { w_.patchU64(wire::kFrameHeaderSize + 1, sequence); }

wire::Bytes MessageWriter::finish() && {
  w_.patchU32(countAt_, count_);
  w_.patchU32(0, static_cast<std::uint32_t>(payloadSize()));
  return w_.take();
}

ArgumentReader::ArgumentReader(wire::ByteReader arguments, const Interface& interface, std::size_t method, bool ofReply)
    : r_(arguments),
      interface_(interface),
      method_(method),
      ofReply_(ofReply),
      specs_(ofReply ? *interface.protocol().method(method).reply : interface.protocol().method(method).arguments) {}

const ArgumentSpec* ArgumentReader::next(ArgumentKind kind) {
  if (index_ >= specs_.size() || specs_[index_].kind != kind) {
    // The hand-written proxy or dispatcher disagrees with its own protocol spec.
    std::fprintf(stderr, "xpc::ArgumentReader: \"%s\" argument %zu read as the wrong kind\n",
                 interface_.protocol().method(method_).selector.c_str(), index_);
    std::abort();
  }
  return &specs_[index_++];
}

bool ArgumentReader::readBool() {
  next(ArgumentKind::boolean);
  std::uint8_t tag = 0;
  if (!ok() || !r_.u8(tag)) {
    refuse();
    return false;
  }
  if (tag == static_cast<std::uint8_t>(Tag::trueValue)) return true;
  if (tag != static_cast<std::uint8_t>(Tag::falseValue)) refuse();
  return false;
}

std::int64_t ArgumentReader::readInt64() {
  next(ArgumentKind::int64);
  std::uint8_t tag = 0;
  std::uint64_t v = 0;
  if (!ok() || !r_.u8(tag) || tag != static_cast<std::uint8_t>(Tag::int64) || !r_.u64(v)) {
    refuse();
    return 0;
  }
  return static_cast<std::int64_t>(v);
}

std::uint64_t ArgumentReader::readUInt64() {
  next(ArgumentKind::uint64);
  std::uint8_t tag = 0;
  std::uint64_t v = 0;
  if (!ok() || !r_.u8(tag) || tag != static_cast<std::uint8_t>(Tag::int64) || !r_.u64(v)) {
    refuse();
    return 0;
  }
  return v;
}

const ClassSet* ArgumentReader::nextObjectAllowList() {
  const std::size_t index = index_;
  next(ArgumentKind::object);
  if (!ok()) return nullptr;
  return &interface_.classes(method_, index, ofReply_);
}

Object ArgumentReader::readObjectWith(const ClassSet& allowed) {
  Object out;
  codec::Status s = codec::readObject(r_, allowed, 0, out);
  if (s != codec::Status::ok) {
    fail(s);
    return Object();
  }
  return out;
}

Object ArgumentReader::readObject() {
  const ClassSet* allowed = nextObjectAllowList();
  return allowed ? readObjectWith(*allowed) : Object();
}

std::optional<std::string> ArgumentReader::readString() {
  const ClassSet* allowed = nextObjectAllowList();
  if (!allowed) return std::nullopt;
  // Text and nil are read in place, without an Object and a copy of the text;
  // anything else takes the general path, which refuses it.
  wire::ByteReader r = r_;
  std::uint8_t tag = 0;
  std::string_view text;
  if (r.u8(tag)) {
    if (tag == static_cast<std::uint8_t>(Tag::nil)) {
      r_ = r;
      return std::nullopt;
    }
    if (tag == static_cast<std::uint8_t>(Tag::string) && allowed->containsBuiltin(BuiltinClass::string) &&
        r.text(text)) {
      r_ = r;
      return std::string(text);
    }
  }
  Object o = readObjectWith(*allowed);
  if (o.isNil()) return std::nullopt;
  if (const std::string* s = o.asString()) return *s;
  refuse();
  return std::nullopt;
}

std::string ArgumentReader::readRequiredString() {
  std::optional<std::string> s = readString();
  if (!s) {
    refuse();
    return {};
  }
  return std::move(*s);
}

std::optional<foundation::Error> ArgumentReader::readError() {
  Object o = readObject();
  if (o.isNil()) return std::nullopt;
  if (const foundation::Error* e = o.asError()) return *e;
  refuse();
  return std::nullopt;
}

std::optional<FileURL> ArgumentReader::readURL() {
  Object o = readObject();
  if (o.isNil()) return std::nullopt;
  if (const FileURL* u = o.asURL()) return *u;
  refuse();
  return std::nullopt;
}

std::optional<Number> ArgumentReader::readNumber() {
  Object o = readObject();
  if (o.isNil()) return std::nullopt;
  if (const Number* n = o.asNumber()) return *n;
  refuse();
  return std::nullopt;
}

std::optional<std::string_view> ArgumentReader::readData() {
  next(ArgumentKind::data);
  std::uint8_t tag = 0;
  std::string_view bytes;
  if (!ok() || !r_.u8(tag)) {
    refuse();
    return std::nullopt;
  }
  if (tag == static_cast<std::uint8_t>(Tag::nil)) return std::nullopt;
  if (tag != static_cast<std::uint8_t>(Tag::data) || !r_.text(bytes)) {
    refuse();
    return std::nullopt;
  }
  return bytes;
}

}  // namespace xpc

#include "platform/xpc/Coder.h"

#include <cstdio>
#include <cstdlib>

namespace xpc {

namespace {
[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "xpc::Coder: %s\n", what);
  std::abort();
}
}  // namespace

Coder::Coder(wire::ByteWriter& out) : writer_(&out) {}

Coder::Coder(wire::ByteReader entries, std::uint32_t count, int depth)
    : entries_(entries), resume_(entries), count_(count), depth_(depth) {}

void Coder::beginKey(std::string_view key) {
  if (!writer_) misuse("encode call on a decoding coder");
  writer_->text(key);
  ++count_;
}

void Coder::encodeObject(const Object& value, std::string_view key) {
  beginKey(key);
  codec::writeObject(*writer_, value);
}

void Coder::encodeObject(const Codable* value, std::string_view key) {
  beginKey(key);
  if (value) {
    codec::writeCodable(*writer_, *value);
  } else {
    codec::writeNil(*writer_);
  }
}

void Coder::encodeObject(std::string_view text, std::string_view key) {
  beginKey(key);
  codec::writeString(*writer_, text);
}

void Coder::encodeObject(const std::optional<std::string>& text, std::string_view key) {
  beginKey(key);
  if (text) {
    codec::writeString(*writer_, *text);
  } else {
    codec::writeNil(*writer_);
  }
}

void Coder::encodeBool(bool value, std::string_view key) {
  beginKey(key);
  codec::writeBool(*writer_, value);
}

void Coder::encodeInt64(std::int64_t value, std::string_view key) {
  beginKey(key);
  codec::writeInt64(*writer_, value);
}

bool Coder::findFromResume(std::string_view key, wire::ByteReader& value) const {
  if (writer_) misuse("decode call on an encoding coder");
  // Keys are unique within an object (validation checks it), so where the search
  // starts cannot change what it finds. It starts after the last key found: an
  // initializer usually reads the fields in the order encode() wrote them, and
  // then each lookup compares one key.
  wire::ByteReader r = resume_;
  std::uint32_t index = resumeIndex_;
  for (std::uint32_t seen = 0; seen < count_; ++seen, ++index) {
    if (index == count_) {
      r = entries_;
      index = 0;
    }
    std::string_view k;
    if (!r.text(k)) return false;
    if (k == key) {
      value = r;
      if (wire::skipValue(r)) {
        resume_ = r;
        resumeIndex_ = index + 1;
      }
      return true;
    }
    if (!wire::skipValue(r)) return false;
  }
  return false;
}

bool Coder::containsValueForKey(std::string_view key) const {
  wire::ByteReader r;
  return find(key, r);
}

Object Coder::decodeObjectOfClasses(const ClassSet& allowed, std::string_view key) {
  wire::ByteReader r;
  if (!find(key, r)) return Object();
  Object out;
  codec::Status s = codec::readObject(r, allowed, depth_, out);
  if (s != codec::Status::ok) {
    fail(s);
    return Object();
  }
  return out;
}

std::optional<std::string> Coder::decodeStringForKey(std::string_view key) {
  wire::ByteReader r;
  if (!find(key, r)) return std::nullopt;
  // Text and nil, the values a well-behaved peer sends here, are read in place;
  // anything else takes the general path, which refuses it.
  std::uint8_t tag = 0;
  std::string_view text;
  if (depth_ <= wire::kMaxDepth && r.u8(tag)) {
    if (tag == static_cast<std::uint8_t>(wire::Tag::nil)) return std::nullopt;
    if (tag == static_cast<std::uint8_t>(wire::Tag::string) && r.text(text)) return std::string(text);
  }
  Object o = decodeObjectOfClass(classes::NSString, key);
  if (const std::string* s = o.asString()) return *s;
  return std::nullopt;
}

bool Coder::decodeBool(std::string_view key) {
  wire::ByteReader r;
  if (!find(key, r)) return false;
  std::uint8_t tag = 0;
  r.u8(tag);
  if (tag == static_cast<std::uint8_t>(wire::Tag::trueValue)) return true;
  if (tag != static_cast<std::uint8_t>(wire::Tag::falseValue)) fail(codec::Status::refused);
  return false;
}

std::int64_t Coder::decodeInt64(std::string_view key) {
  wire::ByteReader r;
  if (!find(key, r)) return 0;
  std::uint8_t tag = 0;
  std::uint64_t v = 0;
  if (!r.u8(tag) || tag != static_cast<std::uint8_t>(wire::Tag::int64) || !r.u64(v)) {
    fail(codec::Status::refused);
    return 0;
  }
  return static_cast<std::int64_t>(v);
}

wire::Bytes Coder::archive(const Object& root) {
  wire::ByteWriter w;
  codec::writeObject(w, root);
  return w.take();
}

std::optional<Object> Coder::unarchive(const ClassSet& allowed, const std::uint8_t* data, std::size_t size,
                                       codec::Status* status) {
  codec::Status s = codec::Status::malformed;
  std::optional<Object> result;
  if (wire::validateValue(data, size)) {
    wire::ByteReader r(data, size);
    Object out;
    s = codec::readObject(r, allowed, 0, out);
    if (s == codec::Status::ok) result = std::move(out);
  }
  if (status) *status = s;
  return result;
}

}  // namespace xpc

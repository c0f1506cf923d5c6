// xpc::Coder: keyed secure coding, the stand-in for NSXPCCoder. A Codable writes
// its fields in encode(Coder&) and reads them back in its Coder& constructor.
// Every object read names the classes it may be; anything else is refused: the
// call returns nil, the coder records the refusal, and the archive (the whole
// message) is rejected once the object is built. Missing keys read as nil, false
// or 0. One Coder serves one object on one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/ClassSet.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/ValueCodec.h"
#include "platform/xpc/WireFormat.h"

namespace xpc {

class Coder {
 public:
  // Encodes the fields of one object into `out`.
  explicit Coder(wire::ByteWriter& out);
  // Decodes the `count` entries of one validated keyed object; `depth` counts the
  // containers around those entries' values.
  Coder(wire::ByteReader entries, std::uint32_t count, int depth);

  Coder(const Coder&) = delete;
  Coder& operator=(const Coder&) = delete;

  bool isDecoding() const { return writer_ == nullptr; }

  // --- encodeWithCoder:
  void encodeObject(const Object& value, std::string_view key);
  void encodeObject(const Codable* value, std::string_view key);  // null encodes nil
  template <typename T>
  void encodeObject(const std::shared_ptr<const T>& value, std::string_view key) {
    encodeObject(static_cast<const Codable*>(value.get()), key);
  }
  void encodeObject(std::string_view text, std::string_view key);  // NSString
  void encodeObject(const std::string& text, std::string_view key) { encodeObject(std::string_view(text), key); }
  void encodeObject(const char* text, std::string_view key) { encodeObject(std::string_view(text), key); }
  void encodeObject(const std::optional<std::string>& text, std::string_view key);
  template <typename T>
  void encodeObject(const std::vector<std::shared_ptr<const T>>& array, std::string_view key) {
    beginKey(key);
    codec::writeCodableArray(*writer_, array);
  }
  void encodeBool(bool value, std::string_view key);
  void encodeInt64(std::int64_t value, std::string_view key);

  // --- initWithCoder:
  bool containsValueForKey(std::string_view key) const;
  Object decodeObjectOfClasses(const ClassSet& allowed, std::string_view key);
  Object decodeObjectOfClass(const ClassInfo& cls, std::string_view key) {
    return decodeObjectOfClasses(ClassSet{&cls}, key);
  }
  // The keyed object of class T under `key`, or null.
  template <typename T>
  std::shared_ptr<const T> decodeObjectOfClass(std::string_view key) {
    return decodeObjectOfClass(T::codableClass(), key).template as<T>();
  }
  // NSString under `key`, or absent.
  std::optional<std::string> decodeStringForKey(std::string_view key);
  bool decodeBool(std::string_view key);
  std::int64_t decodeInt64(std::string_view key);

  // ok, or the first refusal or damage met while decoding.
  codec::Status status() const { return status_; }
  bool failed() const { return status_ != codec::Status::ok; }

  // A standalone archive of one object (as NSKeyedArchiver would make), and its
  // inverse, which validates the bytes first. Absent when the bytes are malformed
  // or hold a class outside `allowed`; `status` (optional) says which.
  static wire::Bytes archive(const Object& root);
  static std::optional<Object> unarchive(const ClassSet& allowed, const std::uint8_t* data, std::size_t size,
                                         codec::Status* status = nullptr);

  // Encoding: the number of entries written so far.
  std::uint32_t encodedCount() const { return count_; }

 private:
  void beginKey(std::string_view key);
  // The value under `key`. The entry just past the last one found is tried
  // first, inline: initializers usually read fields in the order encode() wrote
  // them, so most lookups compare one key.
  bool find(std::string_view key, wire::ByteReader& value) const {
    if (resumeIndex_ < count_ && !writer_) {
      wire::ByteReader r = resume_;
      std::string_view k;
      if (r.text(k) && k == key) {
        value = r;
        if (wire::skipValue(r)) {
          resume_ = r;
          ++resumeIndex_;
        }
        return true;
      }
    }
    return findFromResume(key, value);
  }
  bool findFromResume(std::string_view key, wire::ByteReader& value) const;
  void fail(codec::Status s) {
    if (status_ == codec::Status::ok) status_ = s;
  }

  wire::ByteWriter* writer_ = nullptr;  // encoding only
  wire::ByteReader entries_;            // decoding only
  // Decoding: where find() starts, just past the last entry it found.
  mutable wire::ByteReader resume_;
  mutable std::uint32_t resumeIndex_ = 0;
  std::uint32_t count_ = 0;
  int depth_ = 0;
  codec::Status status_ = codec::Status::ok;
};

}  // namespace xpc

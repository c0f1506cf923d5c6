// The byte layout of the xpc:: link (docs/wire-format.md): frame and message
// headers, value tags and limits, plus the small cursor types every encoder and
// decoder of the layer is built on. No allocation beyond the writer's buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/Utf8.h"

namespace xpc::wire {

// Leaves elements that a resize adds uninitialised. A frame buffer grows ahead of
// its writes, and clearing bytes that are about to be overwritten would cost as
// much again as writing them (several MiB for a large listing).
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// The bytes of one frame, as encoders make them and the connection sends them.
using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

// A frame is a 4-byte little-endian payload length, then the payload.
inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::uint32_t kMaxFramePayload = 64u << 20;  // 64 MiB

// Nesting of arrays, objects and errors inside one value.
inline constexpr int kMaxDepth = 32;
// Values in one message; bounds what a frame of one-byte values can make us allocate.
inline constexpr std::size_t kMaxValuesPerMessage = std::size_t{1} << 22;
inline constexpr std::size_t kMaxSelectorLength = 1024;
inline constexpr std::size_t kMaxClassNameLength = 256;
inline constexpr std::size_t kMaxKeyLength = 1024;

enum class MessageKind : std::uint8_t { call = 1, reply = 2, refusal = 3 };
inline constexpr std::uint8_t kCallExpectsReply = 0x01;

enum class Tag : std::uint8_t {
  nil = 0x00,
  falseValue = 0x01,
  trueValue = 0x02,
  int64 = 0x03,
  string = 0x04,
  url = 0x05,
  array = 0x06,
  object = 0x07,
  error = 0x08,
  // Raw bytes (file contents). Only ever a top-level argument: never inside an
  // array, object or error, and never read as an object.
  data = 0x09,
};

// Appends little-endian fields to a growing buffer. The buffer is grown ahead of
// the writes and written through a pointer, so a small field costs a bounds check
// and a store rather than a vector insertion.
class ByteWriter {
 public:
  ByteWriter() = default;
  // Writes into `storage`'s capacity (a recycled frame buffer), dropping its contents.
  explicit ByteWriter(Bytes storage) : buf_(std::move(storage)) { buf_.clear(); }

  std::size_t size() const { return size_; }
  void reserve(std::size_t n) {
    if (buf_.size() < n) buf_.resize(n);
  }
  // Hands over what was written; the writer is empty afterwards.
  Bytes take() {
    buf_.resize(size_);
    size_ = 0;
    return std::move(buf_);
  }
  // What was written so far, trimmed to size (for tests and tools that build
  // frames by hand; take() hands the bytes over without a copy).
  const Bytes& bytes() {
    buf_.resize(size_);
    return buf_;
  }

  void u8(std::uint8_t v) { *grab(1) = v; }
  void u32(std::uint32_t v) { store32(grab(4), v); }
  void u64(std::uint64_t v) {
    std::uint8_t* p = grab(8);
    for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
  }
  void raw(const void* data, std::size_t n) {
    if (n != 0) std::memcpy(grab(n), data, n);
  }
  // A length-prefixed text: u32 length, then the bytes.
  void text(std::string_view s) {
    std::uint8_t* p = grab(4 + s.size());
    store32(p, static_cast<std::uint32_t>(s.size()));
    if (!s.empty()) std::memcpy(p + 4, s.data(), s.size());
  }
  // Reserves a u32 to be filled in by patchU32 once the length is known.
  std::size_t placeholderU32() {
    std::size_t at = size_;
    grab(4);
    return at;
  }
  void patchU32(std::size_t at, std::uint32_t v) { store32(buf_.data() + at, v); }
  void patchU64(std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) buf_[at + i] = std::uint8_t(v >> (8 * i));
  }

 private:
  static void store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
  }
  std::uint8_t* grab(std::size_t n) {
    if (buf_.size() < size_ + n) grow(n);
    std::uint8_t* p = buf_.data() + size_;
    size_ += n;
    return p;
  }
  // Doubles the writable part, within the capacity already held when that is
  // enough. The new bytes are left uninitialised (see DefaultInitAllocator).
  void grow(std::size_t n) {
    const std::size_t need = size_ + n;
    std::size_t target = std::max({need, 2 * buf_.size(), std::size_t{64}});
    if (target > buf_.capacity() && need <= buf_.capacity()) target = buf_.capacity();
    buf_.resize(target);
  }

  Bytes buf_;  // bytes past size_ are scratch, ready to be written

  std::size_t size_ = 0;
};

// Reads little-endian fields from a span; every read is bounded by what remains and
// a failed read leaves the cursor where it was.
class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  bool empty() const { return p_ == end_; }
  const std::uint8_t* position() const { return p_; }

  bool u8(std::uint8_t& v) {
    if (remaining() < 1) return false;
    v = *p_++;
    return true;
  }
  bool peekU8(std::uint8_t& v) const {
    if (remaining() < 1) return false;
    v = *p_;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (remaining() < 4) return false;
    v = std::uint32_t(p_[0]) | std::uint32_t(p_[1]) << 8 | std::uint32_t(p_[2]) << 16 | std::uint32_t(p_[3]) << 24;
    p_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (remaining() < 8) return false;
    v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p_[i];
    p_ += 8;
    return true;
  }
  bool bytes(std::size_t n, const std::uint8_t*& out) {
    if (remaining() < n) return false;
    out = p_;
    p_ += n;
    return true;
  }
  // A length-prefixed text (no validation of its contents).
  bool text(std::string_view& out) {
    const std::uint8_t* save = p_;
    std::uint32_t n;
    const std::uint8_t* b;
    if (!u32(n) || !bytes(n, b)) {
      p_ = save;
      return false;
    }
    out = std::string_view(reinterpret_cast<const char*>(b), n);
    return true;
  }
  // A sub-reader over the next `n` bytes, which this reader then skips.
  bool sub(std::size_t n, ByteReader& out) {
    if (remaining() < n) return false;
    out = ByteReader(p_, n);
    p_ += n;
    return true;
  }

 private:
  const std::uint8_t* p_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

using foundation::isValidUtf8;

// Skips one value whose structure has already been validated.
inline bool skipValue(ByteReader& r) {
  std::uint8_t tag;
  if (!r.u8(tag)) return false;
  const std::uint8_t* b;
  switch (static_cast<Tag>(tag)) {
    case Tag::nil:
    case Tag::falseValue:
    case Tag::trueValue:
      return true;
    case Tag::int64:
      return r.bytes(8, b);
    case Tag::string:
    case Tag::url:
    case Tag::data:
    case Tag::array:
    case Tag::object:
    case Tag::error: {
      std::uint32_t n;
      return r.u32(n) && r.bytes(n, b);
    }
  }
  return false;
}

// What a structurally valid message says about itself. Views point into the payload.
struct MessageHeader {
  MessageKind kind;
  std::uint64_t sequence;
  bool expectsReply = false;  // calls
  std::string_view selector;  // calls
  std::string_view reason;    // refusals
  std::uint32_t argumentCount = 0;
  ByteReader arguments;  // calls and replies: the argument values
};

// Checks the whole payload against the layout: known kind and tags, lengths within
// what remains, containers that hold exactly their declared contents, depth and
// value-count limits, UTF-8 texts, no duplicate keys, nothing left over. Nothing is
// allocated for the values. Absent when the payload is malformed.
std::optional<MessageHeader> validateMessage(const std::uint8_t* payload, std::size_t size);

// The same checks for a buffer that holds exactly one value (a standalone archive).
bool validateValue(const std::uint8_t* data, std::size_t size);

}  // namespace xpc::wire

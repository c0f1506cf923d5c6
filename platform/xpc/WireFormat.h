// The byte layout of the xpc:: link (docs/wire-format.md): frame and message
// headers, value tags and limits, plus the small cursor types every encoder and
// decoder of the layer is built on. No allocation beyond the writer's buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace xpc::wire {

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
};

// Appends little-endian fields to a growing buffer.
class ByteWriter {
 public:
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u32(std::uint32_t v) {
    std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    raw(b, 4);
  }
  void u64(std::uint64_t v) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = std::uint8_t(v >> (8 * i));
    raw(b, 8);
  }
  void raw(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  // A length-prefixed text: u32 length, then the bytes.
  void text(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    raw(s.data(), s.size());
  }
  // Reserves a u32 to be filled in by patchU32 once the length is known.
  std::size_t placeholderU32() {
    std::size_t at = bytes_.size();
    bytes_.resize(at + 4);
    return at;
  }
  void patchU32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = std::uint8_t(v >> (8 * i));
  }
  void patchU64(std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_[at + i] = std::uint8_t(v >> (8 * i));
  }

 private:
  std::vector<std::uint8_t> bytes_;
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

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or values
// beyond U+10FFFF).
bool isValidUtf8(std::string_view s);

// Skips one value whose structure has already been validated.
bool skipValue(ByteReader& r);

// What a structurally valid message says about itself. Views point into the payload.
struct MessageHeader {
  MessageKind kind;
  std::uint64_t sequence;
  bool expectsReply = false;      // calls
  std::string_view selector;      // calls
  std::string_view reason;        // refusals
  std::uint32_t argumentCount = 0;
  ByteReader arguments;           // calls and replies: the argument values
};

// Checks the whole payload against the layout: known kind and tags, lengths within
// what remains, containers that hold exactly their declared contents, depth and
// value-count limits, UTF-8 texts, no duplicate keys, nothing left over. Nothing is
// allocated for the values. Absent when the payload is malformed.
std::optional<MessageHeader> validateMessage(const std::uint8_t* payload, std::size_t size);

// The same checks for a buffer that holds exactly one value (a standalone archive).
bool validateValue(const std::uint8_t* data, std::size_t size);

}  // namespace xpc::wire

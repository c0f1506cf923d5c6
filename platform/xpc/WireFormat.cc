#include "platform/xpc/WireFormat.h"

#include <algorithm>
#include <cstring>

namespace xpc::wire {

namespace {

struct ClassNameChars {
  bool allowed[256] = {};
  constexpr ClassNameChars() {
    for (int c = 'A'; c <= 'Z'; ++c) allowed[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) allowed[c] = true;
    for (int c = '0'; c <= '9'; ++c) allowed[c] = true;
    allowed[static_cast<unsigned char>('_')] = allowed[static_cast<unsigned char>('.')] =
        allowed[static_cast<unsigned char>('$')] = true;
  }
};
constexpr ClassNameChars kClassNameChars;

bool isClassName(std::string_view s) {
  if (s.empty() || s.size() > kMaxClassNameLength) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return kClassNameChars.allowed[static_cast<unsigned char>(c)]; });
}

bool isSelector(std::string_view s) {
  if (s.empty() || s.size() > kMaxSelectorLength) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool isKey(std::string_view s) { return !s.empty() && s.size() <= kMaxKeyLength && isValidUtf8(s); }

// Collects the keys of one object or error and reports a repeated one. Small
// objects (the common case) need no allocation.
class KeySet {
 public:
  bool insert(std::string_view key) {
    if (count_ < kInline) {
      for (std::size_t i = 0; i < count_; ++i) {
        if (inline_[i].size == key.size() && std::memcmp(inline_[i].data, key.data(), key.size()) == 0) return false;
      }
      inline_[count_++] = {key.data(), key.size()};
      return true;
    }
    if (overflow_.empty()) {
      for (const Key& k : inline_) overflow_.emplace_back(k.data, k.size);
    }
    overflow_.push_back(key);
    ++count_;
    return true;
  }
  bool unique() {
    if (overflow_.empty()) return true;
    std::sort(overflow_.begin(), overflow_.end());
    return std::adjacent_find(overflow_.begin(), overflow_.end()) == overflow_.end();
  }

 private:
  static constexpr std::size_t kInline = 8;
  // Plain pairs, so that the array is not initialised for every object.
  struct Key {
    const char* data;
    std::size_t size;
  };
  Key inline_[kInline];
  std::size_t count_ = 0;
  std::vector<std::string_view> overflow_;
};

class Validator {
 public:
  bool value(ByteReader& r, int depth) {
    if (budget_ == 0) return false;
    --budget_;
    std::uint8_t tag;
    if (!r.u8(tag)) return false;
    switch (static_cast<Tag>(tag)) {
      case Tag::nil:
      case Tag::falseValue:
      case Tag::trueValue:
        return true;
      case Tag::int64: {
        const std::uint8_t* b;
        return r.bytes(8, b);
      }
      case Tag::string: {
        std::string_view s;
        return r.text(s) && isValidUtf8(s);
      }
      case Tag::url: {
        std::string_view s;
        return r.text(s) && !s.empty() && s.front() == '/' && s.find('\0') == std::string_view::npos && isValidUtf8(s);
      }
      case Tag::data: {
        std::string_view bytes;
        return depth == 0 && r.text(bytes);
      }
      case Tag::array:
        return array(r, depth);
      case Tag::object:
        return object(r, depth);
      case Tag::error:
        return error(r, depth);
    }
    return false;
  }

 private:
  static bool body(ByteReader& r, int depth, ByteReader& out) {
    std::uint32_t length;
    return depth < kMaxDepth && r.u32(length) && r.sub(length, out);
  }

  bool array(ByteReader& r, int depth) {
    ByteReader b;
    std::uint32_t count;
    if (!body(r, depth, b) || !b.u32(count) || count > b.remaining()) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t tag;
      // An array never holds nil.
      if (!b.peekU8(tag) || tag == static_cast<std::uint8_t>(Tag::nil) || !value(b, depth + 1)) return false;
    }
    return b.empty();
  }

  bool object(ByteReader& r, int depth) {
    ByteReader b;
    std::string_view name;
    std::uint32_t count;
    if (!body(r, depth, b) || !b.text(name) || !isClassName(name) || !b.u32(count) || count > b.remaining() / 5) {
      return false;
    }
    KeySet keys;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      if (!b.text(key) || !isKey(key) || !keys.insert(key) || !value(b, depth + 1)) return false;
    }
    return keys.unique() && b.empty();
  }

  bool error(ByteReader& r, int depth) {
    ByteReader b;
    std::string_view domain;
    std::uint64_t code;
    std::uint8_t hasUserInfo;
    std::uint32_t count;
    if (!body(r, depth, b) || !b.text(domain) || !isValidUtf8(domain) || !b.u64(code) || !b.u8(hasUserInfo) ||
        hasUserInfo > 1 || !b.u32(count) || count > b.remaining() / 5 || (hasUserInfo == 0 && count != 0)) {
      return false;
    }
    KeySet keys;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      std::uint8_t tag;
      if (!b.text(key) || !isKey(key) || !keys.insert(key) || !b.peekU8(tag)) return false;
      // User info holds text, integers and nested errors only.
      if (tag != static_cast<std::uint8_t>(Tag::int64) && tag != static_cast<std::uint8_t>(Tag::string) &&
          tag != static_cast<std::uint8_t>(Tag::error)) {
        return false;
      }
      if (!value(b, depth + 1)) return false;
    }
    return keys.unique() && b.empty();
  }

  std::size_t budget_ = kMaxValuesPerMessage;
};

bool values(ByteReader& r, MessageHeader& header) {
  std::uint32_t count;
  if (!r.u32(count) || count > r.remaining()) return false;
  header.argumentCount = count;
  const std::uint8_t* start = r.position();
  Validator v;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!v.value(r, 0)) return false;
  }
  header.arguments = ByteReader(start, static_cast<std::size_t>(r.position() - start));
  return r.empty();
}

}  // namespace

std::optional<MessageHeader> validateMessage(const std::uint8_t* payload, std::size_t size) {
  ByteReader r(payload, size);
  MessageHeader h{};
  std::uint8_t kind;
  if (!r.u8(kind) || !r.u64(h.sequence)) return std::nullopt;
  switch (static_cast<MessageKind>(kind)) {
    case MessageKind::call: {
      std::uint8_t flags;
      if (!r.u8(flags) || (flags & ~kCallExpectsReply) != 0 || !r.text(h.selector) || !isSelector(h.selector)) {
        return std::nullopt;
      }
      h.kind = MessageKind::call;
      h.expectsReply = (flags & kCallExpectsReply) != 0;
      if (!values(r, h)) return std::nullopt;
      return h;
    }
    case MessageKind::reply:
      h.kind = MessageKind::reply;
      if (!values(r, h)) return std::nullopt;
      return h;
    case MessageKind::refusal:
      h.kind = MessageKind::refusal;
      if (!r.text(h.reason) || !isValidUtf8(h.reason) || !r.empty()) return std::nullopt;
      return h;
  }
  return std::nullopt;
}

bool validateValue(const std::uint8_t* data, std::size_t size) {
  ByteReader r(data, size);
  Validator v;
  return v.value(r, 0) && r.empty();
}

}  // namespace xpc::wire

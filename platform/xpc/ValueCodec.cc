#include "platform/xpc/ValueCodec.h"

#include "platform/xpc/Coder.h"

namespace xpc::codec {

using wire::ByteReader;
using wire::ByteWriter;
using wire::Tag;

namespace {

void tag(ByteWriter& w, Tag t) { w.u8(static_cast<std::uint8_t>(t)); }

void writeErrorAt(ByteWriter& w, const foundation::Error& error, int depth) {
  std::size_t at = beginContainer(w, Tag::error);
  w.text(error.domain());
  w.u64(static_cast<std::uint64_t>(error.code()));
  const auto& info = error.userInfo();
  w.u8(info ? 1 : 0);
  std::size_t countAt = w.placeholderU32();
  std::uint32_t count = 0;
  if (info) {
    for (const auto& [key, value] : *info) {
      if (const auto* text = std::get_if<std::string>(&value)) {
        w.text(key);
        writeString(w, *text);
      } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
        w.text(key);
        writeInt64(w, *number);
      } else {
        const auto& nested = std::get<std::shared_ptr<const foundation::Error>>(value);
        // The receiver refuses anything nested deeper than its limit.
        if (!nested || depth + 1 >= wire::kMaxDepth) continue;
        w.text(key);
        writeErrorAt(w, *nested, depth + 1);
      }
      ++count;
    }
  }
  w.patchU32(countAt, count);
  endContainer(w, at);
}

Status readErrorBody(ByteReader& b, int depth, foundation::Error& out);

Status readUserInfoValue(ByteReader& r, int depth, foundation::UserInfoValue& out) {
  std::uint8_t t;
  if (!r.u8(t)) return Status::malformed;
  switch (static_cast<Tag>(t)) {
    case Tag::int64: {
      std::uint64_t v;
      if (!r.u64(v)) return Status::malformed;
      out = static_cast<std::int64_t>(v);
      return Status::ok;
    }
    case Tag::string: {
      std::string_view s;
      if (!r.text(s)) return Status::malformed;
      out = std::string(s);
      return Status::ok;
    }
    case Tag::error: {
      std::uint32_t n;
      ByteReader b;
      if (!r.u32(n) || !r.sub(n, b)) return Status::malformed;
      foundation::Error nested("", 0);
      Status s = readErrorBody(b, depth + 1, nested);
      if (s == Status::ok) out = foundation::nested(std::move(nested));
      return s;
    }
    default:
      return Status::malformed;
  }
}

Status readErrorBody(ByteReader& b, int depth, foundation::Error& out) {
  if (depth > wire::kMaxDepth) return Status::malformed;
  std::string_view domain;
  std::uint64_t code;
  std::uint8_t hasInfo;
  std::uint32_t count;
  if (!b.text(domain) || !b.u64(code) || !b.u8(hasInfo) || !b.u32(count)) return Status::malformed;
  std::optional<foundation::UserInfo> info;
  if (hasInfo) {
    info.emplace();
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      if (!b.text(key)) return Status::malformed;
      foundation::UserInfoValue value;
      Status s = readUserInfoValue(b, depth, value);
      if (s != Status::ok) return s;
      info->emplace(std::string(key), std::move(value));
    }
  }
  out = foundation::Error(std::string(domain), static_cast<std::int64_t>(code), std::move(info));
  return Status::ok;
}

}  // namespace

void writeURL(ByteWriter& w, const FileURL& url) {
  tag(w, Tag::url);
  w.text(url.path);
}
void writeError(ByteWriter& w, const foundation::Error& error) { writeErrorAt(w, error, 0); }

std::size_t beginContainer(ByteWriter& w, Tag t) {
  tag(w, t);
  return w.placeholderU32();
}

void endContainer(ByteWriter& w, std::size_t placeholder) {
  w.patchU32(placeholder, static_cast<std::uint32_t>(w.size() - placeholder - 4));
}

void writeCodable(ByteWriter& w, const Codable& object) {
  std::size_t at = beginContainer(w, Tag::object);
  w.text(object.classInfo().name);
  std::size_t countAt = w.placeholderU32();
  Coder coder(w);
  object.encode(coder);
  w.patchU32(countAt, coder.encodedCount());
  endContainer(w, at);
}

void writeObject(ByteWriter& w, const Object& object) {
  if (const std::string* s = object.asString()) {
    writeString(w, *s);
  } else if (const Number* n = object.asNumber()) {
    if (n->isBool) {
      writeBool(w, n->value != 0);
    } else {
      writeInt64(w, n->value);
    }
  } else if (const FileURL* u = object.asURL()) {
    writeURL(w, *u);
  } else if (const Object::Array* a = object.asArray()) {
    std::size_t at = beginContainer(w, Tag::array);
    std::size_t countAt = w.placeholderU32();
    std::uint32_t count = 0;
    for (const Object& item : *a) {
      if (item.isNil()) continue;  // an array cannot hold nil
      writeObject(w, item);
      ++count;
    }
    w.patchU32(countAt, count);
    endContainer(w, at);
  } else if (const foundation::Error* e = object.asError()) {
    writeError(w, *e);
  } else if (const Codable* c = object.asCodable()) {
    writeCodable(w, *c);
  } else {
    writeNil(w);
  }
}

Status readObject(ByteReader& r, const ClassSet& allowed, int depth, Object& out) {
  if (depth > wire::kMaxDepth) return Status::malformed;
  std::uint8_t t;
  if (!r.u8(t)) return Status::malformed;
  switch (static_cast<Tag>(t)) {
    case Tag::nil:
      out = Object();
      return Status::ok;
    case Tag::falseValue:
    case Tag::trueValue:
      if (!allowed.containsBuiltin(BuiltinClass::number)) return Status::refused;
      out = Object::boolean(static_cast<Tag>(t) == Tag::trueValue);
      return Status::ok;
    case Tag::int64: {
      std::uint64_t v;
      if (!r.u64(v)) return Status::malformed;
      if (!allowed.containsBuiltin(BuiltinClass::number)) return Status::refused;
      out = Object::number(static_cast<std::int64_t>(v));
      return Status::ok;
    }
    case Tag::string: {
      std::string_view s;
      if (!r.text(s)) return Status::malformed;
      if (!allowed.containsBuiltin(BuiltinClass::string)) return Status::refused;
      out = Object::string(std::string(s));
      return Status::ok;
    }
    case Tag::url: {
      std::string_view s;
      if (!r.text(s)) return Status::malformed;
      if (!allowed.containsBuiltin(BuiltinClass::url)) return Status::refused;
      out = Object::url(FileURL{std::string(s)});
      return Status::ok;
    }
    case Tag::data: {
      // Bytes are read only where a protocol declares them, never as an object.
      std::string_view bytes;
      return r.text(bytes) ? Status::refused : Status::malformed;
    }
    case Tag::array: {
      std::uint32_t n, count;
      ByteReader b;
      if (!r.u32(n) || !r.sub(n, b) || !b.u32(count) || count > b.remaining()) return Status::malformed;
      if (!allowed.containsBuiltin(BuiltinClass::array)) return Status::refused;
      Object::Array items;
      items.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        Object item;
        Status s = readObject(b, allowed, depth + 1, item);
        if (s != Status::ok) return s;
        items.push_back(std::move(item));
      }
      out = Object::array(std::move(items));
      return Status::ok;
    }
    case Tag::object: {
      std::uint32_t n, count;
      ByteReader b;
      std::string_view name;
      if (!r.u32(n) || !r.sub(n, b) || !b.text(name)) return Status::malformed;
      // The allow-list decides before the class's own code runs.
      const ClassInfo* cls = allowed.findKeyed(name);
      if (!cls || !cls->make) return Status::refused;
      if (!b.u32(count)) return Status::malformed;
      Coder coder(b, count, depth + 1);
      std::shared_ptr<const Codable> made = cls->make(coder);
      if (coder.failed()) return coder.status();
      out = Object::codable(std::move(made));
      return Status::ok;
    }
    case Tag::error: {
      std::uint32_t n;
      ByteReader b;
      if (!r.u32(n) || !r.sub(n, b)) return Status::malformed;
      if (!allowed.containsBuiltin(BuiltinClass::error)) return Status::refused;
      foundation::Error e("", 0);
      Status s = readErrorBody(b, depth + 1, e);
      if (s != Status::ok) return s;
      out = Object::error(std::move(e));
      return Status::ok;
    }
  }
  return Status::malformed;
}

namespace {

// Steps into the next value when it is nil (isNil) or of kind `tag` (its tag read).
// A value of any other kind is skipped whole and refused.
Status enterValue(ByteReader& r, Tag tag, int depth, bool& isNil) {
  isNil = false;
  if (depth > wire::kMaxDepth) return Status::malformed;
  std::uint8_t t;
  if (!r.peekU8(t)) return Status::malformed;
  if (t == static_cast<std::uint8_t>(Tag::nil)) {
    r.u8(t);
    isNil = true;
    return Status::ok;
  }
  if (t != static_cast<std::uint8_t>(tag)) return wire::skipValue(r) ? Status::refused : Status::malformed;
  r.u8(t);
  return Status::ok;
}

}  // namespace

Status openKeyed(ByteReader& r, const ClassSet& allowed, const ClassInfo& expected, int depth, bool& isNil,
                 ByteReader& entries, std::uint32_t& count) {
  if (Status st = enterValue(r, Tag::object, depth, isNil); st != Status::ok || isNil) return st;
  std::uint32_t n;
  ByteReader b;
  std::string_view name;
  if (!r.u32(n) || !r.sub(n, b) || !b.text(name)) return Status::malformed;
  // The allow-list decides before the class's own code runs.
  if (allowed.findKeyed(name) != &expected) return Status::refused;
  if (!b.u32(count)) return Status::malformed;
  entries = b;
  return Status::ok;
}

Status openArray(ByteReader& r, const ClassSet& allowed, int depth, bool& isNil, ByteReader& elements,
                 std::uint32_t& count) {
  if (Status st = enterValue(r, Tag::array, depth, isNil); st != Status::ok || isNil) return st;
  std::uint32_t n;
  if (!r.u32(n) || !r.sub(n, elements) || !elements.u32(count) || count > elements.remaining()) {
    return Status::malformed;
  }
  if (!allowed.containsBuiltin(BuiltinClass::array)) return Status::refused;
  return Status::ok;
}

}  // namespace xpc::codec

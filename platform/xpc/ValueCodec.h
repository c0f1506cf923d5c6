// Writes and reads single values in the layout of docs/wire-format.md. The
// readers expect input that wire::validateMessage/validateValue accepted, yet
// still check every read, and they check a value's class against the allowed set
// before building anything of it. Used by Coder and by the message reader/writer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/xpc/ClassSet.h"
#include "platform/xpc/Object.h"
#include "platform/xpc/WireFormat.h"

namespace xpc::codec {

// refused: well formed, but of a class or kind that was not allowed at that place.
// malformed: does not follow the layout (never after validation; kept as a guard).
enum class Status { ok, refused, malformed };

// The scalar writers are inline: an object's fields are mostly scalars.
inline void writeNil(wire::ByteWriter& w) { w.u8(static_cast<std::uint8_t>(wire::Tag::nil)); }
inline void writeBool(wire::ByteWriter& w, bool value) {
  w.u8(static_cast<std::uint8_t>(value ? wire::Tag::trueValue : wire::Tag::falseValue));
}
inline void writeInt64(wire::ByteWriter& w, std::int64_t value) {
  w.u8(static_cast<std::uint8_t>(wire::Tag::int64));
  w.u64(static_cast<std::uint64_t>(value));
}
inline void writeString(wire::ByteWriter& w, std::string_view text) {
  w.u8(static_cast<std::uint8_t>(wire::Tag::string));
  w.text(text);
}
void writeURL(wire::ByteWriter& w, const FileURL& url);
// Nested errors deeper than the receiver accepts are left out of the user info.
void writeError(wire::ByteWriter& w, const foundation::Error& error);
void writeCodable(wire::ByteWriter& w, const Codable& object);
void writeObject(wire::ByteWriter& w, const Object& object);

// An array or other container: the tag and a length placeholder; endContainer
// fills the length in.
std::size_t beginContainer(wire::ByteWriter& w, wire::Tag tag);
void endContainer(wire::ByteWriter& w, std::size_t placeholder);

// NSArray of keyed objects, written without building Objects first. Null items
// are skipped: an array cannot hold nil.
template <typename T>
void writeCodableArray(wire::ByteWriter& w, const std::vector<std::shared_ptr<const T>>& items) {
  std::size_t at = beginContainer(w, wire::Tag::array);
  std::size_t countAt = w.placeholderU32();
  std::uint32_t count = 0;
  for (const auto& item : items) {
    if (!item) continue;
    writeCodable(w, *item);
    ++count;
  }
  w.patchU32(countAt, count);
  endContainer(w, at);
}

// Reads one value as an object whose class (and, for arrays, every element's
// class) is in `allowed`. Nil is always allowed. `depth` counts enclosing containers.
Status readObject(wire::ByteReader& r, const ClassSet& allowed, int depth, Object& out);

// Readers for a value whose expected shape the caller knows: they hand back where
// the contents lie instead of building an Object, so the caller can build its own
// type straight from the bytes. The checks are those of readObject, and a value of
// any other class or kind is refused before anything of it is built.

// Nil (isNil set), or a keyed object whose class in `allowed` is exactly
// `expected`: its entries, to be read by a Coder of depth `depth + 1`.
Status openKeyed(wire::ByteReader& r, const ClassSet& allowed, const ClassInfo& expected, int depth, bool& isNil,
                 wire::ByteReader& entries, std::uint32_t& count);
// Nil (isNil set), or an array, allowed by `allowed`: its elements, to be read at
// depth `depth + 1` with the same allow-list.
Status openArray(wire::ByteReader& r, const ClassSet& allowed, int depth, bool& isNil, wire::ByteReader& elements,
                 std::uint32_t& count);

}  // namespace xpc::codec

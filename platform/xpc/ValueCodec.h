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

void writeNil(wire::ByteWriter& w);
void writeBool(wire::ByteWriter& w, bool value);
void writeInt64(wire::ByteWriter& w, std::int64_t value);
void writeString(wire::ByteWriter& w, std::string_view text);
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

}  // namespace xpc::codec

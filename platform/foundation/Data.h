// foundation::Data stands in for NSData: an owned run of bytes, plus the
// little-endian integer packing that the persisted records and anchors use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

using Data = std::vector<std::uint8_t>;

inline Data dataFromString(std::string_view text) { return Data(text.begin(), text.end()); }
inline std::string stringFromData(const Data& data) { return std::string(data.begin(), data.end()); }

// Writes `value` as 8 little-endian bytes at `offset`; `data` must be long enough.
void storeUInt64LE(Data& data, std::size_t offset, std::uint64_t value);
// Reads 8 little-endian bytes at `offset`; `data` must be long enough.
std::uint64_t loadUInt64LE(const Data& data, std::size_t offset);

// Lower-case hexadecimal text of the bytes.
std::string hexString(const Data& data);
// The bytes of text hexString could have written; absent for anything else.
std::optional<Data> dataFromHex(std::string_view text);

}  // namespace foundation

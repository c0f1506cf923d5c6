// The bytes of one event-log record: the 28-key schema in its output order, JSON
// fragments escaped as the platform serialiser writes them, and the line built
// from them. Pure functions; used by CorvaneFpLog on the calling thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane::CorvaneFpLogRecord {

// Every key a record may carry, in the order in which they are written. Keys the
// extension never fills ("msg", "transfer", ...) keep their place for readers
// that share the schema.
inline constexpr std::array<std::string_view, 28> kSchemaKeys = {
    "ts",           "level",    "host",       "process_id", "os",        "arch",    "build",
    "event",        "domain",   "peer",       "operation",  "msg",       "detail",  "transfer",
    "operation_id", "attempt",  "epoch",      "generation", "stream_id", "flow_id", "error_code",
    "retryable",    "graceful", "elapsed_ms", "reason",     "target",    "src",     "version"};

// Position of `key` in kSchemaKeys; a key outside the schema does not compile.
consteval std::size_t slot(std::string_view key) {
  for (std::size_t i = 0; i < kSchemaKeys.size(); ++i) {
    if (kSchemaKeys[i] == key) return i;
  }
  throw "key outside the record schema";
}

// A JSON value of a record: text, unsigned or signed integer, or boolean. Texts
// are views; the caller keeps them alive until the line is encoded.
using Value = std::variant<std::string_view, std::uint64_t, std::int64_t, bool>;

// The record being built, one optional value per schema key. Since values can
// only be placed at schema positions, nothing outside the schema can be written.
using Fields = std::array<std::optional<Value>, kSchemaKeys.size()>;

// Appends `value` as a JSON fragment to `out` and returns true; returns false and
// leaves `out` as it was when the value cannot be serialised (text that is not
// valid UTF-8). Text escaping: quotation mark, reverse solidus and solidus take a
// reverse solidus; backspace, form feed, line feed, carriage return and tab use
// their short escapes; other control characters below U+0020 are written
// \u00xx in lower-case hexadecimal; everything else, non-ASCII included, is
// copied as raw UTF-8.
bool appendJsonFragment(std::string& out, const Value& value);

// The fragment alone; absent when the value cannot be serialised.
std::optional<std::string> jsonFragment(const Value& value);

// {"key":fragment,...} in schema order plus one line feed, no other whitespace.
// Absent values, empty texts and values that cannot be serialised are left out;
// absent when nothing remains.
std::optional<std::string> encodeLine(const Fields& fields);

}  // namespace corvane::CorvaneFpLogRecord

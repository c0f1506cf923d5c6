// ScriptArgs: typed reads of one script line's arguments. A read that finds the
// wrong kind of value (or no value where one is required) returns a neutral
// default and records the first such mistake, so an op reads everything it needs
// and then asks once whether the line was usable. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::framework {

class ScriptArgs {
 public:
  // `line` is the whole input object; it must outlive this reader.
  explicit ScriptArgs(const nlohmann::json& line) : line_(line) {}

  // Required values.
  std::string text(const char* key);
  std::uint64_t unsignedNumber(const char* key);

  // Optional values: absent when the key is missing or null.
  std::optional<std::string> optionalText(const char* key);
  std::optional<std::uint64_t> optionalUnsigned(const char* key);
  std::optional<std::int64_t> optionalInteger(const char* key);
  bool flag(const char* key, bool fallback = false);

  // The object or array under `key`, or null when missing; a value of another
  // kind is a mistake.
  const nlohmann::json* optionalObject(const char* key);
  const nlohmann::json* optionalArray(const char* key);

  bool has(const char* key) const { return line_.contains(key) && !line_.at(key).is_null(); }

  // Records a mistake found by the caller (the first one wins).
  void fail(std::string message);
  // The first mistake, as the "usage" text of the reply.
  const std::optional<std::string>& mistake() const { return mistake_; }

 private:
  const nlohmann::json* find(const char* key) const;
  void wrongKind(const char* key, const char* expected);

  const nlohmann::json& line_;
  std::optional<std::string> mistake_;
};

}  // namespace corvane::framework

#include "framework/ScriptArgs.h"

namespace corvane::framework {

const nlohmann::json* ScriptArgs::find(const char* key) const {
  auto it = line_.find(key);
  if (it == line_.end() || it->is_null()) return nullptr;
  return &*it;
}

void ScriptArgs::fail(std::string message) {
  if (!mistake_) mistake_ = std::move(message);
}

void ScriptArgs::wrongKind(const char* key, const char* expected) {
  fail(std::string("\"") + key + "\" must be " + expected);
}

std::string ScriptArgs::text(const char* key) {
  auto value = optionalText(key);
  if (!value && !find(key)) wrongKind(key, "given as a string");
  return value.value_or("");
}

std::uint64_t ScriptArgs::unsignedNumber(const char* key) {
  auto value = optionalUnsigned(key);
  if (!value && !find(key)) wrongKind(key, "given as a number of 0 or more");
  return value.value_or(0);
}

std::optional<std::string> ScriptArgs::optionalText(const char* key) {
  const auto* value = find(key);
  if (!value) return std::nullopt;
  if (!value->is_string()) {
    wrongKind(key, "a string");
    return std::nullopt;
  }
  return value->get<std::string>();
}

std::optional<std::uint64_t> ScriptArgs::optionalUnsigned(const char* key) {
  const auto* value = find(key);
  if (!value) return std::nullopt;
  if (!value->is_number_unsigned()) {
    wrongKind(key, "a whole number of 0 or more");
    return std::nullopt;
  }
  return value->get<std::uint64_t>();
}

std::optional<std::int64_t> ScriptArgs::optionalInteger(const char* key) {
  const auto* value = find(key);
  if (!value) return std::nullopt;
  if (!value->is_number_integer() ||
      (value->is_number_unsigned() && value->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))) {
    wrongKind(key, "a whole number that fits in 64 signed bits");
    return std::nullopt;
  }
  return value->get<std::int64_t>();
}

bool ScriptArgs::flag(const char* key, bool fallback) {
  const auto* value = find(key);
  if (!value) return fallback;
  if (!value->is_boolean()) {
    wrongKind(key, "true or false");
    return fallback;
  }
  return value->get<bool>();
}

const nlohmann::json* ScriptArgs::optionalObject(const char* key) {
  const auto* value = find(key);
  if (value && !value->is_object()) {
    wrongKind(key, "an object");
    return nullptr;
  }
  return value;
}

const nlohmann::json* ScriptArgs::optionalArray(const char* key) {
  const auto* value = find(key);
  if (value && !value->is_array()) {
    wrongKind(key, "an array");
    return nullptr;
  }
  return value;
}

}  // namespace corvane::framework

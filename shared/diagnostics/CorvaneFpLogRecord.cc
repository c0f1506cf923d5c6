#include "shared/diagnostics/CorvaneFpLogRecord.h"

#include <charconv>

#include "platform/foundation/Utf8.h"

namespace corvane::CorvaneFpLogRecord {
namespace {

bool appendEscapedText(std::string& out, std::string_view text) {
  if (!foundation::isValidUtf8(text)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending stretch that needs no escaping
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char* escape = nullptr;
    switch (c) {
      case '"':
        escape = "\\\"";
        break;
      case '\\':
        escape = "\\\\";
        break;
      case '/':
        escape = "\\/";
        break;
      case '\b':
        escape = "\\b";
        break;
      case '\f':
        escape = "\\f";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '\t':
        escape = "\\t";
        break;
      default:
        if (c >= 0x20) continue;
    }
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (escape) {
      out.append(escape);
    } else {
      const char unicode[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0f]};
      out.append(unicode, sizeof unicode);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
  return true;
}

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

bool appendJsonFragment(std::string& out, const Value& value) {
  if (const auto* text = std::get_if<std::string_view>(&value)) return appendEscapedText(out, *text);
  if (const auto* u = std::get_if<std::uint64_t>(&value)) {
    appendInteger(out, *u);
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    appendInteger(out, *i);
  } else {
    out += std::get<bool>(value) ? "true" : "false";
  }
  return true;
}

std::optional<std::string> jsonFragment(const Value& value) {
  std::string out;
  if (!appendJsonFragment(out, value)) return std::nullopt;
  return out;
}

std::optional<std::string> encodeLine(const Fields& fields) {
  std::string line;
  line.reserve(320);
  line.push_back('{');
  bool any = false;
  for (std::size_t i = 0; i < kSchemaKeys.size(); ++i) {
    const auto& value = fields[i];
    if (!value) continue;
    if (const auto* text = std::get_if<std::string_view>(&*value); text && text->empty()) continue;
    const std::size_t mark = line.size();
    if (any) line.push_back(',');
    line.push_back('"');
    line.append(kSchemaKeys[i]);
    line.append("\":");
    if (!appendJsonFragment(line, *value)) {
      line.resize(mark);
      continue;
    }
    any = true;
  }
  if (!any) return std::nullopt;
  line.append("}\n");
  return line;
}

}  // namespace corvane::CorvaneFpLogRecord

#include "platform/oslog/Log.h"

#include <cstdio>

#include "platform/oslog/Sink.h"

namespace oslog {
namespace {

constexpr std::string_view kMissing = "(null)";

template <typename... Values>
void appendPrintf(std::string& out, const std::string& spec, Values... values) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), values...);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  std::string large(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(large.data(), large.size(), spec.c_str(), values...);
  out.append(large.data(), static_cast<std::size_t>(n));
}

void appendText(std::string& out, const Arg* arg) {
  if (!arg) {
    out += kMissing;
    return;
  }
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string_view>) {
          out += v;
        } else if constexpr (std::is_same_v<V, double>) {
          appendPrintf(out, "%g", v);
        } else {
          out += std::to_string(v);
        }
      },
      arg->value());
}

// One conversion: `flags` holds the printf flags, width and precision as written.
void appendConversion(std::string& out, std::string flags, char conversion, const Arg* arg) {
  if (conversion == '@' || conversion == 's' || !arg) {
    appendText(out, arg);
    return;
  }
  const auto& value = arg->value();
  if (const auto* text = std::get_if<std::string_view>(&value)) {
    out += *text;
    return;
  }
  auto asSigned = [&]() -> long long {
    if (const auto* u = std::get_if<std::uint64_t>(&value)) return static_cast<long long>(*u);
    if (const auto* d = std::get_if<double>(&value)) return static_cast<long long>(*d);
    return std::get<std::int64_t>(value);
  };
  auto asUnsigned = [&]() -> unsigned long long {
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<unsigned long long>(*i);
    if (const auto* d = std::get_if<double>(&value)) return static_cast<unsigned long long>(*d);
    return std::get<std::uint64_t>(value);
  };
  std::string spec = "%" + flags;
  switch (conversion) {
    case 'd':
    case 'i':
      appendPrintf(out, spec + "lld", asSigned());
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      appendPrintf(out, spec + "ll" + conversion, asUnsigned());
      break;
    case 'c':
      appendPrintf(out, spec + "c", static_cast<int>(asSigned()));
      break;
    default: {  // f e g
      double number = 0;
      if (const auto* d = std::get_if<double>(&value)) {
        number = *d;
      } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
        number = static_cast<double>(*i);
      } else {
        number = static_cast<double>(std::get<std::uint64_t>(value));
      }
      appendPrintf(out, spec + conversion, number);
    }
  }
}

bool isFlagOrWidth(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '.' || (c >= '0' && c <= '9');
}

bool isLengthModifier(char c) {
  return c == 'h' || c == 'l' || c == 'q' || c == 'z' || c == 't' || c == 'j' || c == 'L';
}

}  // namespace

std::string format(std::string_view fmt, std::span<const Arg> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    if (i < fmt.size() && fmt[i] == '{') {
      std::size_t close = fmt.find('}', i);
      if (close == std::string_view::npos) {
        out.append(fmt.substr(start));
        break;
      }
      i = close + 1;
    }
    std::string flags;
    while (i < fmt.size() && isFlagOrWidth(fmt[i])) flags.push_back(fmt[i++]);
    while (i < fmt.size() && isLengthModifier(fmt[i])) ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    const char conversion = fmt[i++];
    switch (conversion) {
      case '@':
      case 's':
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
      case 'c':
      case 'f':
      case 'e':
      case 'g': {
        const Arg* arg = next < args.size() ? &args[next] : nullptr;
        ++next;
        appendConversion(out, std::move(flags), conversion, arg);
        break;
      }
      default:
        out.append(fmt.substr(start, i - start));
    }
  }
  return out;
}

namespace detail {

void write(Type type, std::string message) { currentSink()->write(type, message); }

}  // namespace detail

}  // namespace oslog

// oslog::log is the stand-in for os_log on the default log object: console lines
// for people reading the system log. Messages use the os_log format strings as
// written in the extension ("[FPLog] write failed: %{public}@"), so each message
// reads the same byte for byte on both platforms.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace oslog {

// os_log_type_t.
enum class Type { Default, Info, Debug, Error, Fault };

// One argument of a message, captured by value or by view for the duration of the
// log call only.
class Arg {
 public:
  Arg(std::string_view text) : value_(text) {}                                 // NOLINT
  Arg(const std::string& text) : value_(std::string_view(text)) {}             // NOLINT
  Arg(const char* text) : value_(std::string_view(text ? text : "(null)")) {}  // NOLINT
  Arg(bool flag) : value_(static_cast<std::int64_t>(flag)) {}                  // NOLINT
  template <std::signed_integral T>
  Arg(T number) : value_(static_cast<std::int64_t>(number)) {}  // NOLINT
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) Arg(T number) : value_(static_cast<std::uint64_t>(number)) {}  // NOLINT
  Arg(double number) : value_(number) {}                                                          // NOLINT

  const std::variant<std::string_view, std::int64_t, std::uint64_t, double>& value() const { return value_; }

 private:
  std::variant<std::string_view, std::int64_t, std::uint64_t, double> value_;
};

// Expands `format` with `args` in order. Understood: "%%", the annotations
// "{public}" / "{private}" / any "{...}" (all shown: this system log is local),
// flags, width and precision, the length modifiers hh h l ll q z t j, and the
// conversions @ s (text) d i (signed) u x X o (unsigned) c f e g (as printf).
// A text argument under a numeric conversion is written as text, a number under
// @ or s as decimal. A missing argument reads "(null)"; extra arguments are
// ignored; an unknown conversion is copied as written.
std::string format(std::string_view fmt, std::span<const Arg> args);

namespace detail {
void write(Type type, std::string message);
}  // namespace detail

// Formats the message and hands it to the installed sink (Sink.h). Callable from
// any thread; never fails and never reports failure to the caller.
template <typename... Args>
void log(Type type, std::string_view fmt, const Args&... args) {
  const std::array<Arg, sizeof...(Args)> list{Arg(args)...};
  detail::write(type, format(fmt, list));
}

}  // namespace oslog

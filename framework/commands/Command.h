// A command of corvane-fp: its name, its usage lines, its help and what runs
// it. main.cc holds the one table of them, and so the only usage and
// help texts.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::framework::commands {

// What follows the command's name on the command line.
using Arguments = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;    // the arguments, as "corvane-fp NAME" is followed in the usage text
  const char* summary;  // what it does, in one line
  const char* help;     // its options with their defaults, then an example
  int (*run)(const Arguments& arguments);
};

// A command line the command cannot take; what() names the argument and what
// was expected. The caller prints it with a pointer to --help and exits with
// status 2, the status of usage errors only.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command's arguments, read in order; whatever is wrong is a UsageError
// that names it.
class ArgumentReader {
 public:
  explicit ArgumentReader(const Arguments& arguments) : arguments_(arguments) {}
  bool more() const { return at_ < arguments_.size(); }
  const std::string& next() { return arguments_[at_++]; }
  // The value after `flag`, never empty; `expected` says what it is ("a domain id").
  const std::string& value(const std::string& flag, const std::string& expected);
  // `argument` is not one the command takes.
  [[noreturn]] static void unexpected(const std::string& argument);
  // `flag` was given `value`, which is not `expected`.
  [[noreturn]] static void invalid(const std::string& flag, const std::string& value, const std::string& expected);

 private:
  const Arguments& arguments_;
  std::size_t at_ = 0;
};

// Prints `prefix` ("corvane-fp forget: ") and `message` as one line on standard
// error; returns `status`, for `return complain(...)`.
int complain(const char* prefix, const std::string& message, int status);

// What --drain-timeout takes, and what it says it takes.
inline constexpr const char* kDrainSeconds = "seconds from 0 to 86400";
std::optional<double> parseDrainSeconds(const std::string& text);
// What --cache-max and --cache-min-free take, and what they say they take.
inline constexpr const char* kCacheSize = "a size such as 512M or 2G";

// A decimal count with nothing after it; absent for anything else.
std::optional<std::uint64_t> parseNumber(const std::string& text);
// "1048576", "512K", "300M", "2G", "1T", also with "B" or "iB" after the unit
// (all binary multiples); absent for anything else.
std::optional<std::uint64_t> parseSize(const std::string& text);
// What --domain names: a domain id, or the address of a share on another
// machine ("box:work"), which is the domain mounting it now, else the domain
// such a mount gets by default.
std::string domainNamed(const std::string& text);

}  // namespace corvane::framework::commands

// A command of corvane-fp: its name, its usage lines and what runs it. main.cc
// holds the one table of them, and so the only usage text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::framework::commands {

// What follows the command's name on the command line.
using Arguments = std::vector<std::string>;

// What a command returns when its arguments are not its own: the caller shows
// the usage and exits with status 2.
inline constexpr int kBadArguments = -1;

struct Command {
  const char* name;
  const char* usage;  // the arguments, as "corvane-fp NAME" is followed in the usage text
  int (*run)(const Arguments& arguments);
};

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

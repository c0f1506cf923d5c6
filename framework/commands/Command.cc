#include "framework/commands/Command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <variant>

#include "framework/mount/MountStatus.h"
#include "host/stream/RemoteAddress.h"

namespace corvane::framework::commands {

int complain(const char* prefix, const std::string& message, int status) {
  std::fprintf(stderr, "%s%s\n", prefix, message.c_str());
  return status;
}

std::string domainNamed(const std::string& text) {
  if (!host::looksRemote(text)) return text;
  auto parsed = host::parseRemoteAddress(text);
  const auto* address = std::get_if<host::RemoteAddress>(&parsed);
  if (!address) return text;
  for (const auto& mount : mount::readStatuses()) {
    if (mount.remote && mount.remote->address == address->text()) return mount.domain;
  }
  return address->defaultDomain();
}

const std::string& ArgumentReader::value(const std::string& flag, const std::string& expected) {
  if (!more()) throw UsageError("\"" + flag + "\" needs a value: " + expected);
  const std::string& given = next();
  if (given.empty()) invalid(flag, given, expected);
  return given;
}

void ArgumentReader::unexpected(const std::string& argument) {
  if (argument.size() > 1 && argument[0] == '-') throw UsageError("unknown option \"" + argument + "\"");
  throw UsageError("unexpected argument \"" + argument + "\"");
}

void ArgumentReader::invalid(const std::string& flag, const std::string& value, const std::string& expected) {
  throw UsageError("\"" + flag + "\" takes " + expected + ", not \"" + value + "\"");
}

std::optional<double> parseDrainSeconds(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(seconds >= 0) || seconds > 86400) return std::nullopt;
  return seconds;
}

std::optional<std::uint64_t> parseNumber(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-') return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parseSize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return std::nullopt;
  const std::uint64_t number = std::stoull(text.substr(0, digits));
  std::string unit = text.substr(digits);
  for (const char* suffix : {"iB", "B"}) {
    if (unit.size() > std::strlen(suffix) && unit.ends_with(suffix)) {
      unit.resize(unit.size() - std::strlen(suffix));
      break;
    }
  }
  static constexpr std::pair<const char*, int> kUnits[] = {{"", 0}, {"K", 10}, {"M", 20}, {"G", 30}, {"T", 40}};
  for (const auto& [name, shift] : kUnits) {
    if (unit != name) continue;
    if (shift && number > (UINT64_MAX >> shift)) return std::nullopt;
    return number << shift;
  }
  return std::nullopt;
}

}  // namespace corvane::framework::commands

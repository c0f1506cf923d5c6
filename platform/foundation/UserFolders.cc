#include "platform/foundation/UserFolders.h"

#include <cstdlib>

namespace foundation::UserFolders {

namespace {

std::optional<std::filesystem::path> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value);
}

}  // namespace

std::optional<std::filesystem::path> base(Kind kind) {
  struct Rule {
    const char* variable;
    const char* underHome;
  };
  static constexpr Rule kRules[] = {{"XDG_STATE_HOME", ".local/state"},
                                    {"XDG_CACHE_HOME", ".cache"},
                                    {"XDG_DATA_HOME", ".local/share"},
                                    {"XDG_CONFIG_HOME", ".config"}};
  const Rule& rule = kRules[static_cast<int>(kind)];
  if (auto set = absoluteVariable(rule.variable)) return set;
  if (auto home = absoluteVariable("HOME")) return *home / rule.underHome;
  return std::nullopt;
}

std::optional<std::filesystem::path> runtime() { return absoluteVariable("XDG_RUNTIME_DIR"); }

}  // namespace foundation::UserFolders

#include "platform/foundation/Locale.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace foundation {
namespace {

using corvane::testing::ScopedEnv;

TEST(Locale, PreferredLanguagesFromEnvironment) {
  struct Case {
    std::optional<std::string> language, lcAll, lcMessages, lang;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"fr_FR:en_GB", std::nullopt, std::nullopt, "zh_CN.UTF-8", {"fr_FR", "en_GB", "zh_CN"}},
      {std::nullopt, "C", "POSIX", "en_US.UTF-8@euro", {"en_US"}},
      {"::de", "", std::nullopt, std::nullopt, {"de"}},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}},
  };
  for (const Case& c : cases) {
    ScopedEnv a("LANGUAGE", c.language), b("LC_ALL", c.lcAll), m("LC_MESSAGES", c.lcMessages), l("LANG", c.lang);
    EXPECT_EQ(Locale::preferredLanguages(), c.expected);
  }
}

}  // namespace
}  // namespace foundation

#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace foundation {
namespace {

using corvane::testing::ScopedEnv;
using corvane::testing::TempDir;

TEST(UserDefaults, ReadsNumbersAndRefusesEverythingElse) {
  TempDir dir;
  ScopedEnv groups("CORVANE_APP_GROUPS", dir.path().string());
  UserDefaults defaults("suite");
  EXPECT_EQ(defaults.unsignedLongLongForKey("k"), std::nullopt) << "no file yet";

  corvane::testing::writeFile(dir.path() / "suite" / "Preferences" / "suite.json",
                              R"({"big": 18446744073709551615, "neg": -1, "frac": 7.9,
                                  "text": "7", "flag": true, "nil": null})");
  struct Case {
    const char* key;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"big", UINT64_MAX},   {"neg", UINT64_MAX},       {"frac", 7}, {"text", std::nullopt}, {"flag", std::nullopt},
      {"nil", std::nullopt}, {"missing", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(defaults.unsignedLongLongForKey(c.key), c.expected) << c.key;

  corvane::testing::writeFile(dir.path() / "suite" / "Preferences" / "suite.json", "[1, 2]");
  EXPECT_EQ(defaults.unsignedLongLongForKey("big"), std::nullopt) << "not an object";
  corvane::testing::writeFile(dir.path() / "suite" / "Preferences" / "suite.json", "{broken");
  EXPECT_EQ(defaults.unsignedLongLongForKey("big"), std::nullopt) << "not JSON";
}

}  // namespace
}  // namespace foundation

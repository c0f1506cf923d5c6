// Random version-4 UUIDs in canonical text.
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "platform/foundation/UUID.h"

namespace {

TEST(UUID, TextIsCanonicalVersion4InBothCases) {
  const std::regex upper("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  const std::regex lower("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  for (int i = 0; i < 200; ++i) {
    foundation::UUID uuid;
    EXPECT_TRUE(std::regex_match(uuid.uuidString(), upper)) << uuid.uuidString();
    EXPECT_TRUE(std::regex_match(uuid.lowercaseString(), lower)) << uuid.lowercaseString();
  }
}

TEST(UUID, NewValuesDoNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) seen.insert(foundation::UUID().lowercaseString());
  EXPECT_EQ(seen.size(), 10000u);
}

}  // namespace

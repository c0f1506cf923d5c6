#include "extension/ParsedIdentifier.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using fileprovider::ItemIdentifier;

TEST(ParsedIdentifier, ParentBecomesRootContainerAtTheTop) {
  struct Case {
    const char* raw;
    const char* parent;
  };
  const Case cases[] = {
      {"p1::/Docs/a.txt", "p1::/Docs"},
      {"p1::/a.txt", "NSFileProviderRootContainerItemIdentifier"},
      {"p1::/", "NSFileProviderRootContainerItemIdentifier"},
      {"p1::/Docs/", "NSFileProviderRootContainerItemIdentifier"},
  };
  for (const Case& c : cases) {
    auto parsed = ParsedIdentifier::parse(ItemIdentifier(c.raw));
    ASSERT_TRUE(parsed.has_value()) << c.raw;
    EXPECT_EQ(parsed->peerId, "p1");
    EXPECT_EQ(parsed->parentIdentifier, ItemIdentifier(c.parent)) << c.raw;
  }
}

}  // namespace
}  // namespace corvane

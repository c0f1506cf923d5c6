#include "shared/items/FileProviderItemIdentifierCodec.h"

#include <tuple>

#include <gtest/gtest.h>

namespace corvane {
namespace {

struct Case {
  const char* raw;
  std::optional<std::string> peer, path, parent;
};

const Case kCases[] = {
    {"p1::/Docs/a.txt", "p1", "/Docs/a.txt", "p1::/Docs"},
    {"p1::/a.txt", "p1", "/a.txt", std::nullopt},
    {"p1::/", "p1", "/", std::nullopt},
    {"p1::/Docs/", "p1", "/Docs/", std::nullopt},
    {"p1::/A/B/", "p1", "/A/B/", "p1::/A"},
    {"p1::/a::b/c", "p1", "/a::b/c", "p1::/a::b"},
    // Only the parent is normalised, and only one "//" pass: the path stays as sent.
    {"p1::/a//b//c", "p1", "/a//b//c", "p1::/a/b"},
    {"p1::/a///b/c", "p1", "/a///b/c", "p1::/a//b"},
    {"p1:://x", "p1", "//x", std::nullopt},
    {"peer with spaces::/x y/z", "peer with spaces", "/x y/z", "peer with spaces::/x y"},
    {"p1::q::/a", std::nullopt, std::nullopt, std::nullopt},
    {"p1::", std::nullopt, std::nullopt, std::nullopt},
    {"p1::Docs/a.txt", std::nullopt, std::nullopt, std::nullopt},
    {"::/a.txt", std::nullopt, std::nullopt, std::nullopt},
    {"p1/Docs/a.txt", std::nullopt, std::nullopt, std::nullopt},
    {"", std::nullopt, std::nullopt, std::nullopt},
    {"p1:/a", std::nullopt, std::nullopt, std::nullopt},
    {"NSFileProviderRootContainerItemIdentifier", std::nullopt, std::nullopt, std::nullopt},
    {"NSFileProviderWorkingSetContainerItemIdentifier", std::nullopt, std::nullopt, std::nullopt},
    {"NSFileProviderTrashContainerItemIdentifier", std::nullopt, std::nullopt, std::nullopt},
};

TEST(FileProviderItemIdentifierCodec, ParsesIdentifierTable) {
  for (const Case& c : kCases) {
    auto parsed = FileProviderItemIdentifierCodec::parse(c.raw);
    if (!c.peer) {
      EXPECT_FALSE(parsed.has_value()) << c.raw;
      continue;
    }
    ASSERT_TRUE(parsed.has_value()) << c.raw;
    EXPECT_EQ(*parsed, (FileProviderItemIdentifierCodec::Parsed{*c.peer, *c.path, c.parent})) << c.raw;
  }
}

TEST(FileProviderItemIdentifierCodec, DescendantsMoveWithTheirFolder) {
  const std::tuple<const char*, const char*, std::optional<std::string>> rows[] = {
      {"p1::/A/x", "p1::/A", "p1::/B/x"},
      {"p1::/A/x/y", "p1::/A", "p1::/B/x/y"},
      {"p1::/A", "p1::/A", std::nullopt},     // the folder itself
      {"p1::/AB/x", "p1::/A", std::nullopt},  // a sibling whose name begins alike
      {"p2::/A/x", "p1::/A", std::nullopt},
  };
  for (const auto& [raw, from, moved] : rows) {
    EXPECT_EQ(FileProviderItemIdentifierCodec::movedWith(raw, from, "p1::/B"), moved) << raw;
  }
}

TEST(FileProviderItemIdentifierCodec, ChildIdentifiersJoinWithOneSlash) {
  struct Child {
    const char* folder;
    const char* name;
    const char* expected;
  };
  const Child children[] = {
      {"/", "a.txt", "p1::/a.txt"},
      {"/Docs", "a.txt", "p1::/Docs/a.txt"},
      {"/Docs/", "a.txt", "p1::/Docs/a.txt"},
      {"/a//b", "c", "p1::/a/b/c"},
  };
  for (const Child& c : children) {
    EXPECT_EQ(FileProviderItemIdentifierCodec::childIdentifier("p1", c.folder, c.name), c.expected)
        << c.folder << " + " << c.name;
  }
}

}  // namespace
}  // namespace corvane

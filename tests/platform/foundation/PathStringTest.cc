#include "platform/foundation/PathString.h"

#include <gtest/gtest.h>

namespace foundation::PathString {
namespace {

TEST(PathString, DeletingLastComponent) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/Docs/a.txt", "/Docs"}, {"/Docs/", "/"}, {"/Docs", "/"},       {"/", "/"}, {"//", "/"},  {"/A/B/", "/A"},
      {"/a//b//c", "/a//b"},    {"/a//b", "/a"}, {"/a::b/c", "/a::b"}, {"a", ""},  {"a/b", "a"}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(deletingLastPathComponent(c.in), c.out) << c.in;
}

TEST(PathString, AppendingComponent) {
  struct Case {
    const char* base;
    const char* name;
    const char* out;
  };
  const Case cases[] = {
      {"/", "a.txt", "/a.txt"},   {"/Docs", "a.txt", "/Docs/a.txt"},
      {"/Docs/", "a", "/Docs/a"}, {"", "a", "a"},
      {"/Docs", "", "/Docs"},     {"/a", "b/", "/a/b"},
  };
  for (const Case& c : cases) EXPECT_EQ(appendingPathComponent(c.base, c.name), c.out) << c.base << "+" << c.name;
}

TEST(PathString, LastComponentAndExtension) {
  EXPECT_EQ(lastPathComponent("/Docs/a.txt"), "a.txt");
  EXPECT_EQ(lastPathComponent("/Docs/"), "Docs");
  EXPECT_EQ(lastPathComponent("/"), "/");
  EXPECT_EQ(pathExtension("a.tar.gz"), "gz");
  EXPECT_EQ(pathExtension("README"), "");
  EXPECT_EQ(pathExtension(".profile"), "");
  EXPECT_EQ(pathExtension("/d.x/file"), "");
  EXPECT_EQ(pathExtension("trailing."), "");
}

TEST(PathString, CollapsesDoubleSlashesInOnePass) {
  EXPECT_EQ(collapsingDoubleSlashesOnce("/a//b"), "/a/b");
  EXPECT_EQ(collapsingDoubleSlashesOnce("///"), "//");
  EXPECT_EQ(collapsingDoubleSlashesOnce("////"), "//");
  EXPECT_EQ(collapsingDoubleSlashesOnce("/a/b"), "/a/b");
}

}  // namespace
}  // namespace foundation::PathString

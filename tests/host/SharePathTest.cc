#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "host/HostError.h"
#include "host/SharePath.h"
#include "tests/host/HostTestSupport.h"

namespace corvane::host {
namespace {

TEST(SharePathTest, ReadsDoubledAndTrailingSlashesAsSingle) {
  struct Case {
    std::string raw, text, relative, name, parent;
  };
  const Case kCases[] = {
      {"/", "/", ".", "/", "/"},
      {"//", "/", ".", "/", "/"},
      {"/a", "/a", "a", "a", "/"},
      {"/Docs//a.txt", "/Docs/a.txt", "Docs/a.txt", "a.txt", "/Docs"},
      {"/Docs/sub/", "/Docs/sub", "Docs/sub", "sub", "/Docs"},
      {"///x///y///", "/x/y", "x/y", "y", "/x"},
      {"/.hidden/..dots", "/.hidden/..dots", ".hidden/..dots", "..dots", "/.hidden"},
  };
  for (const Case& c : kCases) {
    auto path = SharePath::parse(c.raw);
    ASSERT_TRUE(path.ok()) << c.raw;
    EXPECT_EQ(path->text(), c.text) << c.raw;
    EXPECT_EQ(path->relative(), c.relative) << c.raw;
    EXPECT_EQ(path->name(), c.name) << c.raw;
    EXPECT_EQ(path->parent().text(), c.parent) << c.raw;
  }
}

TEST(SharePathTest, RefusesPathsThatCouldLeaveOrConfuseTheShare) {
  const std::string kRefused[] = {
      "",
      "a/b",
      "../x",
      "/../x",
      "/a/../../x",
      "/a/..",
      "/./a",
      "/a/.",
      std::string("/a\0b", 4),
      std::string("/\0", 2),
      "/" + std::string(256, 'n'),
      "/" + std::string(4100, 'p').replace(100, 1, "/"),
  };
  for (const std::string& raw : kRefused) {
    auto path = SharePath::parse(raw);
    ASSERT_FALSE(path.ok()) << raw;
    testing::expectVfsError(path.error(), VfsErrorCode::invalidArgument);
  }
}

TEST(SharePathTest, WithinHoldsForTheItemAndItsDescendantsOnly) {
  auto a = *SharePath::parse("/a");
  EXPECT_TRUE(SharePath::parse("/a")->isWithin(a));
  EXPECT_TRUE(SharePath::parse("/a/b/c")->isWithin(a));
  EXPECT_FALSE(SharePath::parse("/ab")->isWithin(a));
  EXPECT_FALSE(SharePath::parse("/")->isWithin(a));
  EXPECT_TRUE(a.isWithin(SharePath()));
}

TEST(HostErrorTest, MapsErrnoToTheHostCodesWithTheirTexts) {
  struct Case {
    int err;
    VfsErrorCode code;
  };
  const Case kCases[] = {
      {EACCES, VfsErrorCode::permissionDenied},
      {EPERM, VfsErrorCode::permissionDenied},
      {ENOSPC, VfsErrorCode::noSpace},
      {ENOENT, VfsErrorCode::notFound},
      {ENOTDIR, VfsErrorCode::notFound},
      {EEXIST, VfsErrorCode::alreadyExists},
      {ENOTEMPTY, VfsErrorCode::directoryNotEmpty},
      {EXDEV, VfsErrorCode::invalidArgument},
      {ELOOP, VfsErrorCode::invalidArgument},
      {EIO, VfsErrorCode::io},
      {EBUSY, VfsErrorCode::io},
  };
  for (const Case& c : kCases) {
    foundation::Error error = vfsErrorFromErrno(c.err, "Cannot touch /x");
    testing::expectVfsError(error, c.code);
    EXPECT_EQ(error.localizedDescription().rfind("Cannot touch /x: ", 0), 0u) << c.err;
  }
  EXPECT_EQ(vfsErrorCodeText(-13), "sync_anchor_expired");
  EXPECT_EQ(vfsErrorCodeText(-26), "sync_path_overlaps_mount");
  EXPECT_EQ(vfsErrorCodeText(-27), "unknown");
  EXPECT_EQ(vfsErrorCodeText(0), "unknown");
}

}  // namespace
}  // namespace corvane::host

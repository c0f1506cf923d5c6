#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>

#include "host/HostLocations.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/Waiter.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::readFile;
using corvane::testing::writeFile;

class HostVfsServiceTest : public HostFixture {};

bool hasUploadTemporaries(const fs::path& folder) {
  for (const auto& item : fs::directory_iterator(folder)) {
    if (item.path().filename().string().rfind(".corvane-upload-", 0) == 0) return true;
  }
  return false;
}

TEST_F(HostVfsServiceTest, StatDescribesFilesFoldersAndSymlinksAndAnswersNothingForMissing) {
  writeFile(share() / "Docs/a.txt", "hello");
  fs::create_symlink("/etc/passwd", share() / "link");
  struct timeval times[2] = {{1700000000, 123456}, {1700000000, 123456}};
  ASSERT_EQ(::utimes((share() / "Docs/a.txt").c_str(), times), 0);
  auto service = open();

  auto file = service->statItem("/Docs//a.txt");
  ASSERT_TRUE(file.ok() && file->has_value());
  EXPECT_EQ(**file, (HostFileEntry{"a.txt", false, 5, 1700000000123}));

  auto folder = service->statItem("/Docs/");
  ASSERT_TRUE(folder.ok() && folder->has_value());
  EXPECT_EQ((*folder)->name, "Docs");
  EXPECT_TRUE((*folder)->isDir);

  auto link = service->statItem("/link");
  ASSERT_TRUE(link.ok() && link->has_value());
  EXPECT_FALSE((*link)->isDir);
  EXPECT_EQ((*link)->size, std::string("/etc/passwd").size());

  for (const char* missing : {"/nope", "/Docs/nope", "/Docs/a.txt/below"}) {
    auto none = service->statItem(missing);
    ASSERT_TRUE(none.ok()) << missing;
    EXPECT_FALSE(none->has_value()) << missing;
  }
}

TEST_F(HostVfsServiceTest, ListsImmediateChildrenOnly) {
  writeFile(share() / "b.txt", "12");
  writeFile(share() / "a/inner.txt", "x");
  auto service = open();

  auto root = service->listDirectory("/");
  ASSERT_TRUE(root.ok());
  ASSERT_EQ(root->size(), 2u);
  EXPECT_EQ((*root)[0].name, "a");
  EXPECT_TRUE((*root)[0].isDir);
  EXPECT_EQ((*root)[1], (HostFileEntry{"b.txt", false, 2, (*root)[1].modifiedMs}));

  expectVfsError(service->listDirectory("/missing"), VfsErrorCode::notFound);
  expectVfsError(service->listDirectory("/b.txt"), VfsErrorCode::invalidArgument);
}

// Names the link cannot carry never reach it; the rest of the folder is served
// and the count the host keeps for doctor follows the share.
TEST_F(HostVfsServiceTest, NamesThatAreNotUtf8AreLeftOutAndCounted) {
  writeFile(share() / "ok.txt", "ok");
  writeFile(share() / "bad\xff.txt", "x");
  writeFile(share() / "D/\xc0\xaf.txt", "x");
  auto service = open();
  const std::uint64_t t0 = *service->currentToken();
  writeFile(share() / "D/\xed\xa0\x80.txt", "x");
  writeFile(share() / "D/new.txt", "x");

  auto names = [&](const char* folder) {
    std::vector<std::string> out;
    auto listed = service->listDirectory(folder);
    if (listed.ok()) {
      for (const auto& entry : *listed) out.push_back(entry.name);
    }
    return out;
  };
  EXPECT_EQ(names("/"), (std::vector<std::string>{"D", "ok.txt"}));
  EXPECT_EQ(names("/D"), (std::vector<std::string>{"new.txt"}));
  ASSERT_TRUE(corvane::testing::eventually([&] {
    auto changes = service->readChanges("/D", t0);
    return changes.ok() && changes->changes.size() == 1 && changes->changes[0].name() == "new.txt";
  }));
  expectVfsError(service->statItem("/bad\xff.txt"), VfsErrorCode::invalidArgument);

  const auto report = unshareableNamesFile(stateFolder(), "peer-1");
  EXPECT_NE(readFile(report).find("\"count\":3"), std::string::npos) << readFile(report);
  fs::remove(share() / "bad\xff.txt");
  EXPECT_EQ(names("/"), (std::vector<std::string>{"D", "ok.txt"}));
  EXPECT_NE(readFile(report).find("\"count\":2"), std::string::npos) << readFile(report);
}

TEST_F(HostVfsServiceTest, FetchReturnsAPrivateCopyOutsideTheShare) {
  writeFile(share() / "Docs/a.txt", "version 1");
  auto service = open();
  auto copy = service->fetchFileContents("/Docs/a.txt");
  ASSERT_TRUE(copy.ok()) << copy.error().localizedDescription();
  EXPECT_EQ(copy->parent_path(), cacheFolder());
  EXPECT_EQ(readFile(*copy), "version 1");

  writeFile(share() / "Docs/a.txt", "version 2, longer");
  EXPECT_EQ(readFile(*copy), "version 1") << "the copy must not follow the share";

  expectVfsError(service->fetchFileContents("/Docs/missing"), VfsErrorCode::notFound);
  expectVfsError(service->fetchFileContents("/Docs"), VfsErrorCode::invalidArgument);
  expectVfsError(service->fetchFileContents("/"), VfsErrorCode::invalidArgument);
}

TEST_F(HostVfsServiceTest, OldCacheCopiesAreRemovedAtStart) {
  writeFile(cacheFolder() / "0123456789abcdef-old.txt", "stale");
  writeFile(cacheFolder() / "fedcba9876543210-new.txt", "fresh");
  struct timeval old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(::utimes((cacheFolder() / "0123456789abcdef-old.txt").c_str(), old), 0);
  auto service = open();
  EXPECT_FALSE(fs::exists(cacheFolder() / "0123456789abcdef-old.txt"));
  EXPECT_TRUE(fs::exists(cacheFolder() / "fedcba9876543210-new.txt"));
}

TEST_F(HostVfsServiceTest, UploadCreatesOrReplacesAndKeepsTheFileMode) {
  writeFile(share() / "Docs/a.txt", "old");
  ::chmod((share() / "Docs/a.txt").c_str(), 0600);
  auto service = open();

  ASSERT_TRUE(service->uploadFile(stage("new contents"), "/Docs/a.txt").ok());
  EXPECT_EQ(readFile(share() / "Docs/a.txt"), "new contents");
  EXPECT_EQ(fs::status(share() / "Docs/a.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(service->uploadFile(stage("brand new"), "/Docs/b.txt").ok());
  EXPECT_EQ(readFile(share() / "Docs/b.txt"), "brand new");
  EXPECT_FALSE(hasUploadTemporaries(share() / "Docs"));
}

TEST_F(HostVfsServiceTest, UploadTakesAStagedCopyWholeAndOnlyReadsAnythingElse) {
  writeFile(share() / "Docs/a.txt", "old");
  ::chmod((share() / "Docs/a.txt").c_str(), 0600);
  const fs::path staging = temp() / "UploadStaging";
  auto o = options();
  o.stagingFolder = staging;
  auto service = open(o);
  auto staged = [&](const std::string& name) {
    writeFile(staging / name, name + " contents");
    ::chmod((staging / name).c_str(), 0600);
    return staging / name;
  };
  auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };

  for (const char* target : {"/Docs/a.txt", "/Docs/new.txt"}) {
    const fs::path copy = staged(fs::path(target).stem().string());
    ASSERT_TRUE(service->uploadFile(copy, target).ok()) << target;
    EXPECT_FALSE(fs::exists(copy)) << target;
    EXPECT_EQ(readFile(share() / fs::path(target).relative_path()), copy.filename().string() + " contents");
  }
  EXPECT_EQ(mode(share() / "Docs/a.txt"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(share() / "Docs/new.txt"), fs::perms(0644));

  // With a second name, or outside the staging folder, it is not the extension's
  // copy to take: it is read and left where it is.
  const fs::path linked = staged("linked");
  fs::create_hard_link(linked, temp() / "second-name");
  fs::create_directories(staging / "sub");
  for (const fs::path& source : {linked, stage("elsewhere"), staging / "sub" / ".." / "linked"}) {
    ASSERT_TRUE(service->uploadFile(source, "/Docs/b.txt").ok()) << source;
    EXPECT_TRUE(fs::exists(source)) << source;
    EXPECT_EQ(readFile(share() / "Docs/b.txt"), readFile(source)) << source;
  }
  EXPECT_FALSE(hasUploadTemporaries(share() / "Docs"));
}

TEST_F(HostVfsServiceTest, FailedUploadLeavesOldContentsAndNoTemporaryFile) {
  writeFile(share() / "Docs/a.txt", "old");
  fs::create_directories(share() / "Docs/folder");
  auto service = open();

  expectVfsError(service->uploadFile(temp() / "no-such-staged-file", "/Docs/a.txt"), VfsErrorCode::notFound);
  expectVfsError(service->uploadFile(stage("x"), "/Docs/folder"), VfsErrorCode::alreadyExists);
  expectVfsError(service->uploadFile(stage("x"), "/Missing/a.txt"), VfsErrorCode::notFound);
  expectVfsError(service->uploadFile(stage("x"), "/"), VfsErrorCode::invalidArgument);
  expectVfsError(service->uploadFile("relative/staged", "/Docs/a.txt"), VfsErrorCode::invalidArgument);

  // A folder we may not write to: the temporary file cannot even be made.
  if (::geteuid() != 0) {
    ::chmod((share() / "Docs").c_str(), 0500);
    expectVfsError(service->uploadFile(stage("x"), "/Docs/a.txt"), VfsErrorCode::permissionDenied);
    ::chmod((share() / "Docs").c_str(), 0700);
  }
  EXPECT_EQ(readFile(share() / "Docs/a.txt"), "old");
  EXPECT_FALSE(hasUploadTemporaries(share() / "Docs"));
}

TEST_F(HostVfsServiceTest, CreateDeleteAndRenameFollowTheHostRules) {
  writeFile(share() / "full/child", "x");
  writeFile(share() / "file.txt", "x");
  auto service = open();

  ASSERT_TRUE(service->createDirectory("/new").ok());
  EXPECT_TRUE(fs::is_directory(share() / "new"));
  expectVfsError(service->createDirectory("/new"), VfsErrorCode::alreadyExists);
  expectVfsError(service->createDirectory("/file.txt"), VfsErrorCode::alreadyExists);
  expectVfsError(service->createDirectory("/absent/new"), VfsErrorCode::notFound);

  expectVfsError(service->deleteItem("/full", true), VfsErrorCode::directoryNotEmpty);
  expectVfsError(service->deleteItem("/missing", false), VfsErrorCode::notFound);
  expectVfsError(service->deleteItem("/full", false), VfsErrorCode::invalidArgument);
  expectVfsError(service->deleteItem("/file.txt", true), VfsErrorCode::invalidArgument);
  expectVfsError(service->deleteItem("/", true), VfsErrorCode::invalidArgument);
  EXPECT_TRUE(fs::exists(share() / "full/child"));
  ASSERT_TRUE(service->deleteItem("/new", true).ok());
  ASSERT_TRUE(service->deleteItem("/file.txt", false).ok());
  EXPECT_FALSE(fs::exists(share() / "new"));
  EXPECT_FALSE(fs::exists(share() / "file.txt"));

  writeFile(share() / "a.txt", "A");
  writeFile(share() / "b.txt", "B");
  expectVfsError(service->renameItem("/a.txt", "/b.txt"), VfsErrorCode::alreadyExists);
  EXPECT_EQ(readFile(share() / "b.txt"), "B");
  expectVfsError(service->renameItem("/missing", "/c.txt"), VfsErrorCode::notFound);
  expectVfsError(service->renameItem("/full", "/full/inside"), VfsErrorCode::invalidArgument);
  ASSERT_TRUE(service->renameItem("/a.txt", "/full/moved.txt").ok());
  EXPECT_EQ(readFile(share() / "full/moved.txt"), "A");
  EXPECT_FALSE(fs::exists(share() / "a.txt"));
}

TEST_F(HostVfsServiceTest, StateAndCacheInsideTheShareAreRefused) {
  HostVfsServiceOptions o = options();
  o.cacheFolder = share() / "cache";
  auto service = HostVfsService::open(o);
  expectVfsError(service, VfsErrorCode::invalidArgument);
  EXPECT_FALSE(fs::exists(share() / "cache"));
}

TEST_F(HostVfsServiceTest, OnlyOneServicePerPeerState) {
  auto first = open();
  auto second = HostVfsService::open(options());
  expectVfsError(second, VfsErrorCode::serviceUnavailable);
}

TEST_F(HostVfsServiceTest, DefaultFoldersFollowXdgAndAreKeyedByPeer) {
  corvane::testing::ScopedEnv state("XDG_STATE_HOME", (temp() / "xdg-state").string());
  corvane::testing::ScopedEnv cache("XDG_CACHE_HOME", (temp() / "xdg-cache").string());
  HostVfsServiceOptions o = options();
  o.peerId = "peer/../x";
  o.stateFolder.reset();
  o.cacheFolder.reset();
  { auto service = open(o); }
  // base64url of "peer/../x" without padding.
  EXPECT_TRUE(fs::exists(temp() / "xdg-state/corvane/host/cGVlci8uLi94.state"));
  EXPECT_TRUE(fs::is_directory(temp() / "xdg-cache/corvane/host/cGVlci8uLi94"));
}

}  // namespace
}  // namespace corvane::host::testing

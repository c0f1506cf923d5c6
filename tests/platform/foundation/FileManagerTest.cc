#include "platform/foundation/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/UniqueFd.h"
#include "tests/support/TempDir.h"

namespace foundation {
namespace {

using corvane::testing::ScopedEnv;
using corvane::testing::TempDir;

TEST(FileManager, ContainerLookupOrder) {
  struct Case {
    std::optional<std::string> appGroups, dataHome, home;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"/ag", "/dh", "/h", "/ag/g"},
      {"", "/dh", "/h", "/dh/corvane/app-groups/g"},
      {std::nullopt, std::nullopt, "/h", "/h/.local/share/corvane/app-groups/g"},
      {std::nullopt, "", "", std::nullopt},
      // Only absolute base folders count; a relative one is ignored.
      {std::nullopt, "relative", "/h", "/h/.local/share/corvane/app-groups/g"},
      {std::nullopt, std::nullopt, "relative", std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv a("CORVANE_APP_GROUPS", c.appGroups), d("XDG_DATA_HOME", c.dataHome), h("HOME", c.home);
    auto url = FileManager::containerURL("g");
    if (c.expected) {
      ASSERT_TRUE(url.has_value());
      EXPECT_EQ(url->string(), *c.expected);
    } else {
      EXPECT_FALSE(url.has_value());
    }
  }
}

TEST(FileManager, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
  TempDir dir;
  auto file = dir.path() / "state.epoch";
  ASSERT_TRUE(FileManager::writeAtomically(file, dataFromString("first contents")).ok());
  ASSERT_TRUE(FileManager::writeAtomically(file, dataFromString("2nd")).ok());
  auto read = FileManager::contentsOf(file);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(stringFromData(*read), "2nd");
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(FileManager, FailuresReportCocoaCodesWithPosixUnderneath) {
  TempDir dir;
  auto read = FileManager::contentsOf(dir.path() / "missing");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().domain(), kCocoaErrorDomain);
  EXPECT_EQ(read.error().code(), cocoa::kFileReadNoSuchFile);
  ASSERT_NE(read.error().underlyingError(), nullptr);
  EXPECT_EQ(read.error().underlyingError()->code(), ENOENT);

  auto write = FileManager::writeAtomically(dir.path() / "no" / "folder" / "f", dataFromString("x"));
  ASSERT_FALSE(write.ok());
  EXPECT_EQ(write.error().code(), cocoa::kFileNoSuchFile);

  auto folderAsFile = FileManager::contentsOf(dir.path());
  EXPECT_FALSE(folderAsFile.ok());
}

TEST(FileManager, CreateDirectoryWithIntermediates) {
  TempDir dir;
  auto deep = dir.path() / "a" / "b" / "c";
  EXPECT_FALSE(FileManager::createDirectory(deep, false).ok());
  ASSERT_TRUE(FileManager::createDirectory(deep, true).ok());
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(FileManager::createDirectory(deep, true).ok()) << "an existing folder is fine";

  corvane::testing::writeFile(dir.path() / "plain", "x");
  auto clash = FileManager::createDirectory(dir.path() / "plain", true);
  ASSERT_FALSE(clash.ok());
  EXPECT_EQ(clash.error().code(), cocoa::kFileWriteFileExists);
}

TEST(FileManager, CopyItemNeverOverwritesAndLeavesNothingOnFailure) {
  TempDir dir;
  std::string big(3 * 1024 * 1024 + 17, 'z');
  corvane::testing::writeFile(dir.path() / "src", big);
  ASSERT_TRUE(FileManager::copyItem(dir.path() / "src", dir.path() / "dst").ok());
  EXPECT_EQ(corvane::testing::readFile(dir.path() / "dst"), big);

  auto clash = FileManager::copyItem(dir.path() / "src", dir.path() / "dst");
  ASSERT_FALSE(clash.ok());
  EXPECT_EQ(clash.error().code(), cocoa::kFileWriteFileExists);

  auto missing = FileManager::copyItem(dir.path() / "nope", dir.path() / "dst2");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code(), cocoa::kFileReadNoSuchFile);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "dst2"));

  // A folder (a package) goes with everything in it, and is removed the same way.
  corvane::testing::writeFile(dir.path() / "pkg" / "sub" / "b", "bee");
  corvane::testing::writeFile(dir.path() / "pkg" / "a", "a");
  ASSERT_TRUE(FileManager::copyItem(dir.path() / "pkg", dir.path() / "pkg2").ok());
  EXPECT_EQ(corvane::testing::readFile(dir.path() / "pkg2" / "sub" / "b"), "bee");
  EXPECT_EQ(corvane::testing::readFile(dir.path() / "pkg2" / "a"), "a");
  EXPECT_TRUE(FileManager::removeItem(dir.path() / "pkg2").ok());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "pkg2"));

  // Anything but files, folders and links inside refuses the copy, and nothing is left.
  const auto fifo = dir.path() / "pkg" / "sub" / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto refused = FileManager::copyItem(dir.path() / "pkg", dir.path() / "pkg3");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code(), cocoa::kFileReadUnknown);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "pkg3"));
}

TEST(FileManager, CopyItemKeepsHolesWhereverTheyAre) {
  constexpr off_t kMiB = 1 << 20;
  struct Case {
    const char* name;
    off_t size;
    std::vector<off_t> data;  // offsets of 4-byte stretches
  };
  const Case cases[] = {
      {"a hole, then data at the end", 16 * kMiB, {16 * kMiB - 4}},
      {"data, a hole, data", 16 * kMiB, {0, 16 * kMiB - 4}},
      {"data, then a hole to the end", 16 * kMiB, {0}},
      {"data between two holes", 16 * kMiB, {8 * kMiB}},
      {"nothing but a hole", 16 * kMiB, {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const auto source = dir.path() / (std::string(c.name) + ".src"), copy = dir.path() / (std::string(c.name) + ".dst");
    {
      UniqueFd fd(::open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      ASSERT_EQ(::ftruncate(fd.get(), c.size), 0);
      for (off_t at : c.data) ASSERT_EQ(::pwrite(fd.get(), "data", 4, at), 4);
    }
    struct stat src {};
    struct stat dst {};
    ASSERT_EQ(::stat(source.c_str(), &src), 0);
    if (src.st_blocks * 512 > c.size / 4) GTEST_SKIP() << "the file system here keeps no holes";
    ASSERT_TRUE(FileManager::copyItem(source, copy).ok()) << c.name;
    ASSERT_EQ(::stat(copy.c_str(), &dst), 0);
    EXPECT_EQ(dst.st_size, c.size) << c.name;
    EXPECT_LE(dst.st_blocks, src.st_blocks + 64) << c.name;  // a few blocks of slack for the file system's choice
    EXPECT_TRUE(corvane::testing::readFile(copy) == corvane::testing::readFile(source)) << c.name;
  }
}

TEST(FileManager, CopyItemCopiesLinksAsLinks) {
  TempDir dir;
  corvane::testing::writeFile(dir.path() / "pkg" / "sub" / "f", "f");
  std::filesystem::create_symlink("../sub", dir.path() / "pkg" / "sub" / "loop");
  std::filesystem::create_symlink("/nowhere/at/all", dir.path() / "pkg" / "dangling");
  std::filesystem::create_symlink("pkg/sub/f", dir.path() / "to-file");
  std::filesystem::create_symlink("pkg", dir.path() / "to-folder");
  std::filesystem::create_symlink("gone", dir.path() / "to-nothing");

  ASSERT_TRUE(FileManager::copyItem(dir.path() / "pkg", dir.path() / "pkg2").ok());
  EXPECT_EQ(corvane::testing::readFile(dir.path() / "pkg2" / "sub" / "f"), "f");
  EXPECT_EQ(std::filesystem::read_symlink(dir.path() / "pkg2" / "sub" / "loop"), "../sub");
  EXPECT_EQ(std::filesystem::read_symlink(dir.path() / "pkg2" / "dangling"), "/nowhere/at/all");

  // A link given as the source is copied itself, never what it points at.
  for (const char* source : {"to-file", "to-folder", "to-nothing"}) {
    const auto copy = dir.path() / (std::string(source) + "-copy");
    ASSERT_TRUE(FileManager::copyItem(dir.path() / source, copy).ok()) << source;
    ASSERT_TRUE(std::filesystem::is_symlink(copy)) << source;
    EXPECT_EQ(std::filesystem::read_symlink(copy), std::filesystem::read_symlink(dir.path() / source)) << source;
  }
}

TEST(FileManager, RemoveItemHandlesFilesFoldersAndMissing) {
  TempDir dir;
  corvane::testing::writeFile(dir.path() / "f", "x");
  std::filesystem::create_directory(dir.path() / "d");
  EXPECT_TRUE(FileManager::removeItem(dir.path() / "f").ok());
  EXPECT_TRUE(FileManager::removeItem(dir.path() / "d").ok());
  auto missing = FileManager::removeItem(dir.path() / "f");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code(), cocoa::kFileNoSuchFile);
}

}  // namespace
}  // namespace foundation

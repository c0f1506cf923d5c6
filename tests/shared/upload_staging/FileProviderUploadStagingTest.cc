#include "shared/upload_staging/FileProviderUploadStaging.h"

#include <sys/stat.h>
#include <utime.h>

#include <regex>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace corvane {
namespace {

namespace Staging = FileProviderUploadStaging;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::vector<std::string> stagedNames(const std::filesystem::path& container) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(container / "UploadStaging", ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(FileProviderUploadStaging, CopiesUnderFreshLowerCaseUuidNames) {
  TempDir dir;
  auto container = dir.path() / "deep" / "container";  // missing intermediates are created
  auto source = dir.path() / "report.pdf";
  testing::writeFile(source, "contents of the report");

  auto first = Staging::stage(source, container);
  auto second = Staging::stage(source, container);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_NE(*first, *second);
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  for (const auto& staged : {*first, *second}) {
    EXPECT_EQ(staged.parent_path(), container / "UploadStaging");
    EXPECT_TRUE(std::regex_match(staged.filename().string(), uuid)) << staged;
    EXPECT_EQ(testing::readFile(staged), "contents of the report");
  }
  EXPECT_EQ(testing::readFile(source), "contents of the report") << "the source stays where it was";
}

TEST(FileProviderUploadStaging, FailedCopyLeavesNothingAndReportsTheCopyError) {
  TempDir dir;
  auto staged = Staging::stage(dir.path() / "missing.txt", dir.path());
  ASSERT_FALSE(staged.ok());
  EXPECT_EQ(staged.error().domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(staged.error().code(), 260) << "a read error of the source, not a removal error";
  EXPECT_TRUE(stagedNames(dir.path()).empty());

  // A package is staged whole; one holding what is neither file nor folder is refused.
  writeFile(dir.path() / "a-package" / "inside" / "f", "f");
  auto package = Staging::stage(dir.path() / "a-package", dir.path());
  ASSERT_TRUE(package.ok());
  EXPECT_EQ(readFile(*package / "inside" / "f"), "f");
  EXPECT_TRUE(Staging::remove(*package).ok());
  ASSERT_EQ(::mkfifo((dir.path() / "a-package" / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(Staging::stage(dir.path() / "a-package", dir.path()).ok());
  EXPECT_TRUE(stagedNames(dir.path()).empty());
}

TEST(FileProviderUploadStaging, EmptyFilesAreRemovedAndRemovalToleratesMissingFilesOnly) {
  TempDir dir;
  auto staged = Staging::makeEmptyFile(dir.path());
  ASSERT_TRUE(staged.ok());
  EXPECT_EQ(std::filesystem::file_size(*staged), 0u);
  EXPECT_TRUE(Staging::remove(*staged).ok());
  EXPECT_TRUE(Staging::remove(*staged).ok()) << "already gone counts as removed";

  auto failed = Staging::remove(dir.path() / std::string(300, 'n'));  // a name no folder can hold
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().code(), 4);
}

TEST(FileProviderUploadStaging, AbandonedFilesAreSweptOncePerProcess) {
  TempDir dir;
  auto folder = dir.path() / "UploadStaging";
  testing::writeFile(folder / "old", "left by a lost upload");
  testing::writeFile(folder / "recent", "an upload in flight");
  struct utimbuf longAgo {};
  longAgo.actime = longAgo.modtime = ::time(nullptr) - 25 * 3600;
  ASSERT_EQ(::utime((folder / "old").c_str(), &longAgo), 0);

  ASSERT_TRUE(Staging::makeEmptyFile(dir.path()).ok());
  EXPECT_FALSE(std::filesystem::exists(folder / "old"));
  EXPECT_TRUE(std::filesystem::exists(folder / "recent"));

  // Later preparations in this process leave even old files alone.
  testing::writeFile(folder / "old2", "x");
  ASSERT_EQ(::utime((folder / "old2").c_str(), &longAgo), 0);
  ASSERT_TRUE(Staging::makeEmptyFile(dir.path()).ok());
  EXPECT_TRUE(std::filesystem::exists(folder / "old2"));
}

}  // namespace
}  // namespace corvane

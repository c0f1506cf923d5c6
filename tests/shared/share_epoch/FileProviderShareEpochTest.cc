#include "shared/share_epoch/FileProviderShareEpoch.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/foundation/FileManager.h"
#include "shared/share_epoch/PeerStore.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace Epoch = FileProviderShareEpoch;

class ShareEpochTest : public ::testing::Test {
 protected:
  std::filesystem::path container() const { return dir_.path() / kAppGroupId; }
  std::filesystem::path epochFile(const std::string& peer) const {
    return container() / "FileProviderShareEpochs" / PeerStore::fileName(peer);
  }
  void writeLegacy(const std::string& json) const {
    testing::writeFile(container() / "Preferences" / (std::string(kAppGroupId) + ".json"), json);
  }

  TempDir dir_;
  ScopedEnv groups_{"CORVANE_APP_GROUPS", dir_.path().string()};
};

TEST_F(ShareEpochTest, HostilePeerIdsStayInsideTheStoreFolder) {
  EXPECT_EQ(PeerStore::fileName("ab?"), "YWI_.epoch") << "base64url: no slash, no padding";
  for (const std::string peer : {"../../x", "a/b", "/etc/passwd", "..", ".", "x\n/y"}) {
    auto url = PeerStore::fileURL(Epoch::storeDirectoryName, peer);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->parent_path(), container() / "FileProviderShareEpochs") << peer;
    EXPECT_EQ(url->filename().string().find('/'), std::string::npos);
    EXPECT_NE(url->filename().string().front(), '.') << peer;
    auto bumped = Epoch::bump(peer);
    ASSERT_TRUE(bumped.has_value()) << peer;
    EXPECT_EQ(Epoch::current(peer), *bumped);
  }
  // Nothing was written outside the store folder.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (entry.is_regular_file()) {
      EXPECT_EQ(entry.path().parent_path(), container() / "FileProviderShareEpochs") << entry.path();
    }
  }
}

TEST_F(ShareEpochTest, FileWinsOverLegacyWhichWinsOverNothing) {
  EXPECT_EQ(Epoch::current("p1"), 0u);
  writeLegacy(R"({"fileprovider.share-epoch.p1": 7})");
  EXPECT_EQ(Epoch::current("p1"), 7u);
  EXPECT_EQ(Epoch::current("p2"), 0u);

  auto bumped = Epoch::bump("p1");
  ASSERT_TRUE(bumped.has_value());
  EXPECT_NE(*bumped, 7u);
  EXPECT_NE(*bumped, 0u);
  EXPECT_EQ(Epoch::current("p1"), *bumped);
  EXPECT_EQ(testing::readFile(epochFile("p1")).size(), 8u);

  auto again = Epoch::bump("p1");
  ASSERT_TRUE(again.has_value());
  EXPECT_NE(*again, *bumped);
}

TEST_F(ShareEpochTest, DamagedFilesCountAsAbsent) {
  writeLegacy(R"({"fileprovider.share-epoch.p1": 7})");
  const std::string damaged[] = {
      std::string(9, '\x01'),  // one byte too many
      std::string(8, '\0'),    // a stored zero
      std::string(7, '\x01'),  // short
      "",
  };
  for (const std::string& bytes : damaged) {
    testing::writeFile(epochFile("p1"), bytes);
    EXPECT_EQ(Epoch::current("p1"), 7u) << bytes.size() << " bytes";
  }
  testing::writeFile(epochFile("p1"), std::string("\x05\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(Epoch::current("p1"), 5u);
}

TEST_F(ShareEpochTest, NoContainerMeansLegacyReadAndFailedBump) {
  ScopedEnv noGroups("CORVANE_APP_GROUPS", std::nullopt), noData("XDG_DATA_HOME", std::nullopt),
      noHome("HOME", std::nullopt);
  EXPECT_EQ(Epoch::current("p1"), 0u);
  EXPECT_EQ(Epoch::bump("p1"), std::nullopt);
}

TEST_F(ShareEpochTest, FailedBumpKeepsThePreviousEpoch) {
  writeLegacy(R"({"fileprovider.share-epoch.p1": 7})");
  // A folder where the epoch file belongs makes the final rename fail, even for root.
  std::filesystem::create_directories(epochFile("p1") / "blocker");
  EXPECT_EQ(Epoch::bump("p1"), std::nullopt);
  EXPECT_EQ(Epoch::current("p1"), 7u);
  for (const auto& entry : std::filesystem::directory_iterator(epochFile("p1").parent_path())) {
    EXPECT_EQ(entry.path(), epochFile("p1")) << "the temporary file was left behind";
  }
}

TEST(ShareEpochAnchor, BytesAndParsing) {
  auto anchor = Epoch::makeAnchor(1, 2);
  EXPECT_EQ(anchor, (foundation::Data{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Epoch::parseAnchor(anchor), (Epoch::AnchorParts{1, 2}));
  EXPECT_EQ(Epoch::parseAnchor(Epoch::makeAnchor(UINT64_MAX, 0)), (Epoch::AnchorParts{UINT64_MAX, 0}));

  foundation::Data tokenOnly{9, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(Epoch::parseAnchor(tokenOnly), (Epoch::AnchorParts{0, 0x0100000000000009ull}));
  for (std::size_t size : {0, 12, 17}) {
    EXPECT_EQ(Epoch::parseAnchor(foundation::Data(size, 1)), std::nullopt) << size;
  }
}

TEST(ShareEpochAnchor, Expiry) {
  struct Case {
    foundation::Data anchor;
    std::uint64_t current;
    bool expired;
  };
  const Case cases[] = {
      {Epoch::makeAnchor(5, 1), 5, false}, {Epoch::makeAnchor(5, 1), 6, true}, {foundation::Data(8, 1), 5, true},
      {foundation::Data(8, 1), 0, false},  {foundation::Data(3, 0), 0, true},
  };
  for (const Case& c : cases) EXPECT_EQ(Epoch::isExpired(c.anchor, c.current), c.expired);
}

// Two processes bump and read the same peer at once; a reader must only ever see a
// whole, non-zero epoch that some bump actually stored.
TEST_F(ShareEpochTest, BumpIsAtomicAcrossProcesses) {
  ASSERT_TRUE(Epoch::bump("shared").has_value());
  constexpr int kRounds = 300;
  auto work = [&]() -> int {
    for (int i = 0; i < kRounds; ++i) {
      if (!Epoch::bump("shared")) return 1;
      std::uint64_t seen = Epoch::current("shared");
      if (seen == 0) return 2;
      auto bytes = testing::readFile(epochFile("shared"));
      if (bytes.size() != 8) return 3;
    }
    return 0;
  };
  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(work());
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: bump failed, 2: saw zero, 3: saw a torn file";
  }
  EXPECT_NE(Epoch::current("shared"), 0u);
}

}  // namespace
}  // namespace corvane

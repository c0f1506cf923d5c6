#include "shared/share_epoch/FileProviderReimportState.h"

#include <gtest/gtest.h>

#include "shared/share_epoch/PeerStore.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace State = FileProviderReimportState;

class ReimportStateTest : public ::testing::Test {
 protected:
  std::filesystem::path recordFile(const std::string& peer) const {
    return dir_.path() / kAppGroupId / "FileProviderReimportEpochs" / PeerStore::fileName(peer);
  }

  TempDir dir_;
  ScopedEnv groups_{"CORVANE_APP_GROUPS", dir_.path().string()};
};

TEST(ReimportRecord, EncodesVersionThenEpoch) {
  auto record = State::makeCompletionRecord(7);
  EXPECT_EQ(record, (foundation::Data{3, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(State::completedEpoch(record), 7u);
}

TEST(ReimportRecord, RefusesDamagedRecords) {
  auto wrongVersion = State::makeCompletionRecord(7);
  wrongVersion[0] = 2;
  auto zeroEpoch = State::makeCompletionRecord(0);
  auto longer = State::makeCompletionRecord(7);
  longer.push_back(0);
  auto shorter = State::makeCompletionRecord(7);
  shorter.pop_back();
  for (const auto& record : {wrongVersion, zeroEpoch, longer, shorter, foundation::Data{}}) {
    EXPECT_EQ(State::completedEpoch(record), std::nullopt);
  }
}

TEST(ReimportRecord, RequiresRootReimportRule) {
  struct Case {
    std::uint64_t current;
    std::optional<std::uint64_t> last;
    bool required;
  };
  const Case cases[] = {{0, std::nullopt, false}, {0, 3, false}, {5, std::nullopt, true}, {5, 5, false}, {5, 4, true}};
  for (const Case& c : cases) EXPECT_EQ(State::requiresRootReimport(c.current, c.last), c.required);
}

TEST_F(ReimportStateTest, LifecycleOfOnePeer) {
  EXPECT_TRUE(State::needsRootReimport("p1", 9));
  EXPECT_TRUE(State::begin("p1", 9)) << "nothing to remove is fine";
  ASSERT_TRUE(State::markCompleted("p1", 9));
  EXPECT_EQ(testing::readFile(recordFile("p1")).size(), 16u);
  EXPECT_TRUE(State::isCompleted("p1", 9));
  EXPECT_FALSE(State::isCompleted("p1", 0));
  EXPECT_FALSE(State::needsRootReimport("p1", 9));
  EXPECT_TRUE(State::needsRootReimport("p1", 10));
  EXPECT_FALSE(State::isCompleted("p2", 9)) << "records are per peer";

  EXPECT_TRUE(State::begin("p1", 10));
  EXPECT_FALSE(std::filesystem::exists(recordFile("p1")));
  EXPECT_FALSE(State::isCompleted("p1", 9));
}

TEST_F(ReimportStateTest, ZeroEpochIsNeverStored) {
  EXPECT_FALSE(State::markCompleted("p1", 0));
  EXPECT_FALSE(State::begin("p1", 0));
  EXPECT_FALSE(std::filesystem::exists(recordFile("p1").parent_path()));
}

TEST_F(ReimportStateTest, CorruptRecordReadsAsPending) {
  testing::writeFile(recordFile("p1"), "garbage");
  EXPECT_TRUE(State::needsRootReimport("p1", 9));
  EXPECT_FALSE(State::isCompleted("p1", 9));
  EXPECT_TRUE(State::markCompleted("p1", 9)) << "a damaged record is simply replaced";
  EXPECT_TRUE(State::isCompleted("p1", 9));
}

TEST_F(ReimportStateTest, NoContainer) {
  ScopedEnv noGroups("CORVANE_APP_GROUPS", std::nullopt), noData("XDG_DATA_HOME", std::nullopt),
      noHome("HOME", std::nullopt);
  EXPECT_TRUE(State::needsRootReimport("p1", 4));
  EXPECT_FALSE(State::isCompleted("p1", 4));
  EXPECT_FALSE(State::markCompleted("p1", 4));
  EXPECT_FALSE(State::begin("p1", 4));
}

}  // namespace
}  // namespace corvane

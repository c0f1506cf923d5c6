#include <gtest/gtest.h>

#include "host/ChangeJournal.h"

namespace corvane::host {
namespace {

HostFsChange added(const std::string& name, std::uint64_t size = 1) {
  return HostFsChange::added(HostFileEntry{name, false, size, 1000});
}

TEST(ChangeJournalTest, EachChangeTakesTheNextTokenInItsOwnFolder) {
  ChangeJournal journal(100, 100, 50);
  journal.append("/", added("a"));
  journal.append("/Docs", added("b"));
  journal.append("/", HostFsChange::removed("c"));
  EXPECT_EQ(journal.current(), 103u);

  auto root = journal.changesSince("/", 100);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->size(), 2u);
  EXPECT_EQ((*root)[0], added("a"));
  EXPECT_EQ((*root)[1], HostFsChange::removed("c"));
  EXPECT_EQ(journal.changesSince("/", 101)->size(), 1u);
  EXPECT_TRUE(journal.changesSince("/", 103)->empty());
  EXPECT_EQ(journal.changesSince("/Docs", 100)->size(), 1u);
  EXPECT_TRUE(journal.changesSince("/Other", 100)->empty());
}

TEST(ChangeJournalTest, LaterChangeOfAChildReplacesTheEarlierOne) {
  ChangeJournal journal(0, 0, 50);
  journal.append("/", added("a", 1));
  journal.append("/", added("b"));
  journal.append("/", added("a", 2));
  journal.append("/", HostFsChange::removed("a"));
  EXPECT_EQ(journal.size(), 2u);
  auto changes = journal.changesSince("/", 0);
  ASSERT_TRUE(changes);
  ASSERT_EQ(changes->size(), 2u);
  EXPECT_EQ((*changes)[0], added("b"));
  EXPECT_EQ((*changes)[1], HostFsChange::removed("a"));
  // A reader that saw the first change of "a" still learns of the last.
  EXPECT_EQ(journal.changesSince("/", 1)->back(), HostFsChange::removed("a"));
}

TEST(ChangeJournalTest, RestoreKeepsTheNewestRecordsWithinTheLimit) {
  ChangeJournal journal(0, 0, 2);
  journal.reset(5, 9);
  journal.restore({{7, "/", added("x")}, {8, "/", added("y")}, {9, "/", added("z")}});
  EXPECT_EQ(journal.floor(), 7u);
  EXPECT_EQ(journal.current(), 9u);
  EXPECT_EQ(journal.changesSince("/", 7)->size(), 2u);
  EXPECT_FALSE(journal.changesSince("/", 6));
}

}  // namespace
}  // namespace corvane::host

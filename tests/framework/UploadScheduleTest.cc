#include "framework/mount/upload/UploadSchedule.h"

#include <gtest/gtest.h>

namespace corvane::framework::mount {
namespace {

using Clock = UploadSchedule::Clock;
using namespace std::chrono_literals;

UploadSchedule::Entry upload(std::uint64_t key, std::string identifier = "", std::string name = "") {
  UploadSchedule::Entry entry;
  entry.key = key;
  entry.record.identifier = std::move(identifier);
  entry.record.parentIdentifier = "p::/";
  entry.record.name = std::move(name);
  return entry;
}

// What next() starts now: the sequence, 0 for none.
std::uint64_t chosen(UploadSchedule& schedule, Clock::time_point now) {
  auto next = schedule.next(now);
  return next.chosen ? (*next.chosen)->first : 0;
}

TEST(UploadSchedule, AFilesUploadsGoInTurnAndNoneOfAHeldOrWaitingFile) {
  const auto now = Clock::now();
  UploadSchedule schedule;
  schedule.add(1, upload(7));
  schedule.add(2, upload(7));
  schedule.add(3, upload(9));
  auto next = schedule.next(now);
  ASSERT_TRUE(next.chosen);
  EXPECT_EQ((*next.chosen)->first, 1u);
  EXPECT_TRUE(next.another) << "the other file's is due too";

  schedule.find(1)->second.inFlight = true;
  EXPECT_EQ(chosen(schedule, now), 3u) << "the file's second waits behind its first";
  schedule.find(1)->second.inFlight = false;
  schedule.find(1)->second.record.failed = true;
  EXPECT_EQ(chosen(schedule, now), 2u) << "one failed for good holds nothing back";

  schedule.hold(7);
  EXPECT_EQ(chosen(schedule, now), 3u);
  schedule.release(7);
  schedule.find(2)->second.notBefore = now + 2s;
  schedule.find(3)->second.notBefore = now + 1s;
  next = schedule.next(now);
  EXPECT_FALSE(next.chosen);
  EXPECT_EQ(next.soonest, now + 1s) << "the first backoff to end";

  schedule.erase(schedule.find(2));
  EXPECT_EQ(schedule.latestOf(7)->first, 1u) << "the index by key follows an erase";
  EXPECT_EQ(schedule.sequencesOf(7), std::vector<std::uint64_t>{1});
}

TEST(UploadSchedule, ReplayedUploadsAreKnownByWhereTheyGoUntilAFileClaimsThem) {
  const auto now = Clock::now();
  UploadSchedule schedule;
  schedule.add(1, upload(0, "p::/a"));          // an edit of a stored file
  schedule.add(2, upload(0, "", "new.txt"));    // a new file
  schedule.add(3, upload(5, "p::/a"));          // this run's edit of the same file
  schedule.add(4, upload(6, "", "new.txt"));    // and of the new one
  schedule.find(1)->second.inFlight = true;
  EXPECT_EQ(chosen(schedule, now), 2u) << "3 waits behind 1, which goes to the same file";
  EXPECT_EQ(schedule.sameFileAs(schedule.find(4)->second), (std::vector<std::uint64_t>{2, 4}));

  PendingUpload where;
  where.parentIdentifier = "p::/";
  where.name = "new.txt";
  schedule.claim(6, where);
  EXPECT_EQ(schedule.sequencesOf(6), (std::vector<std::uint64_t>{2, 4}));
  EXPECT_TRUE(schedule.anyOf(5, [](const UploadSchedule::Entry& e) { return !e.inFlight; }));
  EXPECT_FALSE(schedule.anyOf(5, [](const UploadSchedule::Entry& e) { return e.inFlight; }))
      << "1 is not 5's until claimed";
}

TEST(UploadSchedule, BackoffDoublesFromAQuarterSecondUpToHalfAMinute) {
  EXPECT_EQ(UploadSchedule::backoff(0), 250ms);
  EXPECT_EQ(UploadSchedule::backoff(2), 1000ms);
  EXPECT_EQ(UploadSchedule::backoff(7), 30s);
  EXPECT_EQ(UploadSchedule::backoff(40), 30s);
}

}  // namespace
}  // namespace corvane::framework::mount

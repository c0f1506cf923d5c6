#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/HostLocations.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::run;
using corvane::testing::writeFile;

// "+name" for an addition or change, "-name" for a removal, sorted.
std::vector<std::string> summary(const HostChangesResult& result) {
  std::vector<std::string> out;
  for (const auto& c : result.changes) out.push_back((c.isRemoved ? "-" : "+") + c.name());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> changesOf(HostVfsService& service, const char* folder, std::uint64_t since) {
  auto result = service.readChanges(folder, since);
  if (!result.ok()) return {"error " + std::to_string(result.error().code())};
  return summary(*result);
}

using Names = std::vector<std::string>;

class HostChangeTrackingTest : public HostFixture {};

TEST_F(HostChangeTrackingTest, OwnOperationsAreJournaledOnceInTheirFolder) {
  auto service = open();
  std::uint64_t t0 = *service->currentToken();
  ASSERT_TRUE(service->createDirectory("/D").ok());
  ASSERT_TRUE(service->uploadFile(stage("abc"), "/D/f.txt").ok());
  EXPECT_EQ(changesOf(*service, "/", t0), (Names{"+D"}));
  EXPECT_EQ(changesOf(*service, "/D", t0), (Names{"+f.txt"}));

  auto result = service->readChanges("/D", t0);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->changes[0].entry->size, 3u);
  std::uint64_t t1 = result->newToken;
  EXPECT_GT(t1, t0);

  // The watcher sees the same changes; they must not move the token again,
  // or every client would think the share changed.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(*service->currentToken(), t1);
  EXPECT_TRUE(changesOf(*service, "/", t1).empty());

  ASSERT_TRUE(service->renameItem("/D/f.txt", "/g.txt").ok());
  EXPECT_EQ(changesOf(*service, "/D", t1), (Names{"-f.txt"}));
  EXPECT_EQ(changesOf(*service, "/", t1), (Names{"+g.txt"}));
  ASSERT_TRUE(service->uploadFile(stage("x"), "/D/inside.txt").ok());
  ASSERT_TRUE(service->renameItem("/D", "/E").ok());
  ASSERT_TRUE(service->deleteItem("/g.txt", false).ok());
  EXPECT_EQ(changesOf(*service, "/", t1), (Names{"+E", "-D", "-g.txt"}));
  // A moved folder's children leave the old folder and arrive in the new one.
  EXPECT_EQ(changesOf(*service, "/D", t1), (Names{"-f.txt", "-inside.txt"}));
  EXPECT_EQ(changesOf(*service, "/E", t1), (Names{"+inside.txt"}));
}

TEST_F(HostChangeTrackingTest, ChangesByOtherProgramsAppear) {
  writeFile(share() / "gone.txt", "x");
  auto service = open();
  std::uint64_t t0 = *service->currentToken();

  ASSERT_EQ(run({"touch", (share() / "touched.txt").string()}), 0);
  ASSERT_EQ(
      run({"sh", "-c",
           "mkdir -p '" + share().string() + "/outer/inner' && echo x > '" + share().string() + "/outer/inner/f'"}),
      0);
  ASSERT_EQ(run({"rm", (share() / "gone.txt").string()}), 0);

  EXPECT_TRUE(eventually([&] {
    return changesOf(*service, "/", t0) == Names{"+outer", "+touched.txt", "-gone.txt"};
  })) << ::testing::PrintToString(changesOf(*service, "/", t0));
  EXPECT_TRUE(eventually([&] { return changesOf(*service, "/outer/inner", t0) == Names{"+f"}; }));

  // Inside a folder created after the start, further changes are seen too.
  std::uint64_t t1 = *service->currentToken();
  ASSERT_EQ(run({"touch", (share() / "outer/inner/later").string()}), 0);
  EXPECT_TRUE(eventually([&] { return changesOf(*service, "/outer/inner", t1) == Names{"+later"}; }));
}

TEST_F(HostChangeTrackingTest, TokenAndJournalSurviveARestart) {
  std::uint64_t t0, t1;
  {
    auto service = open();
    t0 = *service->currentToken();
    ASSERT_TRUE(service->createDirectory("/kept").ok());
    t1 = *service->currentToken();
  }
  auto service = open();
  EXPECT_EQ(service->startOutcome(), ChangeTracker::Start::resumed);
  EXPECT_EQ(*service->currentToken(), t1);
  EXPECT_EQ(changesOf(*service, "/", t0), (Names{"+kept"}));
  ASSERT_TRUE(service->createDirectory("/next").ok());
  EXPECT_EQ(*service->currentToken(), t1 + 1);
}

TEST_F(HostChangeTrackingTest, ChangesMadeWhileStoppedAreFoundAtStart) {
  writeFile(share() / "edited.txt", "short");
  writeFile(share() / "removed.txt", "x");
  writeFile(share() / "Sub/deleted-inside", "x");
  std::uint64_t t1;
  {
    auto service = open();
    t1 = *service->currentToken();
  }
  writeFile(share() / "edited.txt", "much longer now");
  fs::remove(share() / "removed.txt");
  fs::remove(share() / "Sub/deleted-inside");
  writeFile(share() / "added.txt", "x");
  writeFile(share() / "NewDir/inner.txt", "x");

  auto service = open();
  EXPECT_EQ(service->startOutcome(), ChangeTracker::Start::resumed);
  EXPECT_EQ(changesOf(*service, "/", t1), (Names{"+NewDir", "+added.txt", "+edited.txt", "-removed.txt"}));
  EXPECT_EQ(changesOf(*service, "/NewDir", t1), (Names{"+inner.txt"}));
  EXPECT_EQ(changesOf(*service, "/Sub", t1), (Names{"-deleted-inside"}));
}

fs::path stateFileOf(const fs::path& folder) { return folder / (peerFileStem("peer-1") + ".state"); }

TEST_F(HostChangeTrackingTest, UncleanStopExpiresEveryOlderToken) {
  std::string leftByACrash;
  std::uint64_t t0, t1;
  {
    auto service = open();
    t0 = *service->currentToken();
    // More changes than one saved reservation of tokens covers.
    for (int i = 0; i < 700; ++i) {
      ASSERT_TRUE(service->createDirectory("/x").ok());
      ASSERT_TRUE(service->deleteItem("/x", true).ok());
    }
    t1 = *service->currentToken();
    ASSERT_GE(t1 - t0, 1400u);
    leftByACrash = corvane::testing::readFile(stateFileOf(stateFolder()));
  }
  writeFile(stateFileOf(stateFolder()), leftByACrash);
  auto service = open();
  EXPECT_EQ(service->startOutcome(), ChangeTracker::Start::expired);
  expectVfsError(service->readChanges("/", t0), VfsErrorCode::syncAnchorExpired);
  expectVfsError(service->readChanges("/", t1), VfsErrorCode::syncAnchorExpired);
  EXPECT_GT(*service->currentToken(), t1);
  ASSERT_TRUE(service->createDirectory("/y").ok());
  EXPECT_GT(*service->currentToken(), t1 + 1);
}

TEST_F(HostChangeTrackingTest, DamagedOrForeignStateExpiresOlderTokens) {
  std::uint64_t t1;
  {
    auto service = open();
    ASSERT_TRUE(service->createDirectory("/x").ok());
    t1 = *service->currentToken();
  }
  std::string saved = corvane::testing::readFile(stateFileOf(stateFolder()));
  for (std::size_t cut : {std::size_t{0}, std::size_t{7}, saved.size() / 2, saved.size() - 1}) {
    writeFile(stateFileOf(stateFolder()), saved.substr(0, cut));
    auto service = open();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->startOutcome(), ChangeTracker::Start::fresh) << cut;
    expectVfsError(service->readChanges("/", t1), VfsErrorCode::syncAnchorExpired);
  }

  // The same peer now served from another folder: nothing old applies.
  writeFile(stateFileOf(stateFolder()), saved);
  fs::create_directories(temp() / "other-share");
  HostVfsServiceOptions o = options();
  o.shareFolder = temp() / "other-share";
  auto service = open(o);
  EXPECT_EQ(service->startOutcome(), ChangeTracker::Start::expired);
  expectVfsError(service->readChanges("/", t1), VfsErrorCode::syncAnchorExpired);
}

TEST_F(HostChangeTrackingTest, TokensBeyondTheJournalLimitOrNeverIssuedExpire) {
  HostVfsServiceOptions o = options();
  o.journalLimit = 3;
  auto service = open(o);
  std::uint64_t t0 = *service->currentToken();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(service->createDirectory("/d" + std::to_string(i)).ok());
  std::uint64_t now = *service->currentToken();
  expectVfsError(service->readChanges("/", t0), VfsErrorCode::syncAnchorExpired);
  expectVfsError(service->readChanges("/", now - 4), VfsErrorCode::syncAnchorExpired);  // just below the floor
  expectVfsError(service->readChanges("/", now + 1), VfsErrorCode::syncAnchorExpired);  // never issued
  EXPECT_EQ(changesOf(*service, "/", now - 3), (Names{"+d2", "+d3", "+d4"}));
  EXPECT_TRUE(changesOf(*service, "/", now).empty());
}

TEST_F(HostChangeTrackingTest, WithoutAWatcherChangesAreFoundBeforeEachQuery) {
  HostVfsServiceOptions o = options();
  o.watchExternalChanges = false;
  auto service = open(o);
  std::uint64_t t0 = *service->currentToken();
  writeFile(share() / "direct.txt", "x");
  EXPECT_EQ(changesOf(*service, "/", t0), (Names{"+direct.txt"}));
  EXPECT_GT(*service->currentToken(), t0);
}

}  // namespace
}  // namespace corvane::host::testing

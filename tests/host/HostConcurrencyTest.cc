#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/HostTestSupport.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::readFile;
using corvane::testing::writeFile;

class HostConcurrencyTest : public HostFixture {};

TEST_F(HostConcurrencyTest, ReadersSeeOldOrNewContentsNeverAMix) {
  const std::string versionA(100000, 'A');
  const std::string versionB(150000, 'B');
  const fs::path stagedA = stage(versionA);
  const fs::path stagedB = stage(versionB);
  writeFile(share() / "doc.bin", versionA);
  auto service = open();

  std::atomic<bool> done{false};
  std::atomic<int> directReads{0}, fetches{0}, torn{0};
  // Either version whole, never a mixture or a cut.
  auto isWholeVersion = [&](const std::string& bytes) { return bytes == versionA || bytes == versionB; };
  std::thread directReader([&] {
    while (!done.load()) {
      if (!isWholeVersion(readFile(share() / "doc.bin"))) ++torn;
      ++directReads;
    }
  });
  std::thread fetcher([&] {
    while (!done.load()) {
      auto copy = service->fetchFileContents("/doc.bin");
      if (copy.ok()) {
        if (!isWholeVersion(readFile(*copy))) ++torn;
        fs::remove(*copy);
        ++fetches;
      }
    }
  });
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(service->uploadFile(i % 2 ? stagedA : stagedB, "/doc.bin").ok());
  }
  // Let both readers overlap at least a few uploads' worth of work.
  while (directReads.load() < 5 || fetches.load() < 5) std::this_thread::yield();
  done = true;
  directReader.join();
  fetcher.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(readFile(share() / "doc.bin"), versionA);
}

TEST_F(HostConcurrencyTest, JournalAgreesWithTheDiskAfterConcurrentWork) {
  auto service = open();
  const std::uint64_t t0 = *service->currentToken();
  constexpr int kWorkers = 3;
  constexpr int kRounds = 15;
  std::atomic<bool> done{false};

  std::vector<fs::path> staged;
  for (int w = 0; w < kWorkers; ++w) staged.push_back(stage("worker " + std::to_string(w)));

  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      const std::string folder = "/w" + std::to_string(w);
      ASSERT_TRUE(service->createDirectory(folder).ok());
      for (int i = 0; i < kRounds; ++i) {
        const std::string name = folder + "/f" + std::to_string(i);
        ASSERT_TRUE(service->uploadFile(staged[w], name).ok());
        if (i % 3 == 1) {
          ASSERT_TRUE(service->renameItem(name, name + ".renamed").ok());
        } else if (i % 3 == 2) {
          ASSERT_TRUE(service->deleteItem(name, false).ok());
        }
      }
    });
  }
  // Another program writing into the share at the same time.
  std::thread outsider([&] {
    for (int i = 0; i < kRounds; ++i) writeFile(share() / "outsider" / std::to_string(i), "x");
  });
  std::thread querier([&] {
    while (!done.load()) {
      auto token = service->currentToken();
      ASSERT_TRUE(token.ok());
      auto changes = service->readChanges("/", t0);
      ASSERT_TRUE(changes.ok());
      EXPECT_GE(changes->newToken, *token);
      (void)service->listDirectory("/");
    }
  });
  for (auto& t : workers) t.join();
  outsider.join();
  done = true;
  querier.join();

  // Every folder's changes since the start name exactly what is on disk now
  // (removals only for names that are gone).
  auto agrees = [&] {
    for (const char* folder : {"/", "/w0", "/w1", "/w2", "/outsider"}) {
      auto result = service->readChanges(folder, t0);
      if (!result.ok()) return false;
      std::set<std::string> added, removed;
      for (const auto& c : result->changes) (c.isRemoved ? removed : added).insert(c.name());
      std::set<std::string> onDisk;
      for (const auto& item : fs::directory_iterator(share() / std::string(folder).substr(1))) {
        onDisk.insert(item.path().filename().string());
      }
      if (added != onDisk) return false;
      for (const auto& name : removed) {
        if (onDisk.count(name)) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(eventually(agrees));
}

}  // namespace
}  // namespace corvane::host::testing

// The process-wide stores are called from any thread: framework request threads
// and host reply queues at once. Run under ThreadSanitizer too.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "shared/localization/L10n.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

TEST(SharedStateConcurrency, StoresAndCatalogFromManyThreads) {
  testing::TempDir dir;
  testing::ScopedEnv groups("CORVANE_APP_GROUPS", dir.path().string());
  L10n::resetForTesting("en");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        auto bumped = FileProviderShareEpoch::bump("p1");
        if (!bumped || FileProviderShareEpoch::current("p1") == 0) ++failures;
        if (!FileProviderReimportState::markCompleted("p1", static_cast<std::uint64_t>(t * 100 + i + 1))) ++failures;
        FileProviderReimportState::needsRootReimport("p1", 5);
        if (L10n::t("共享文件夹") != "Shared folder") ++failures;
        if (i % 10 == 0) L10n::resetForTesting("en");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  L10n::resetForTesting(std::nullopt);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace corvane

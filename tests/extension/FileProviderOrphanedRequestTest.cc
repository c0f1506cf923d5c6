// Requests whose host call is in flight when the host drops the connection: each
// is still answered exactly once, as server unreachable (or with no anchor), and
// its trace records the lost connection.
#include <gtest/gtest.h>

#include "tests/extension/ExtensionTestSupport.h"

namespace corvane {
namespace {

using testing::entry;
using testing::Waiter;

class OrphanedRequestTest : public testing::ExtensionTest {};

TEST_F(OrphanedRequestTest, EveryRequestEndsOnceWhenTheHostDropsMidCall) {
  // The host keeps every reply it is handed (dropping one would refuse the call),
  // except that the working-set walk gets its first folder, so it is cut off in
  // its second.
  Waiter<bool> arrived;
  std::mutex mutex;
  std::vector<std::shared_ptr<void>> kept;
  auto keep = [&](auto reply) {
    std::lock_guard guard(mutex);
    kept.push_back(std::make_shared<decltype(reply)>(std::move(reply)));
    arrived.set(true);
  };
  host_->onListDirectory = [&](const std::string&, const std::string& path, auto reply) {
    if (path == "/") return reply(std::vector{entry("A", true)}, std::nullopt);
    keep(std::move(reply));
  };
  host_->onStatItem = [&](const std::string&, const std::string&, auto reply) { keep(std::move(reply)); };
  host_->onGetCurrentToken = [&](const std::string&, auto reply) { keep(std::move(reply)); };
  host_->onReadChanges = [&](const std::string&, const std::string&, std::uint64_t, auto reply) {
    keep(std::move(reply));
  };
  link();

  auto walk = startListing("NSFileProviderWorkingSetContainerItemIdentifier");
  auto folder = startListing("p1::/Docs");
  Waiter<std::optional<foundation::Error>> item;
  extension_->item(fileprovider::ItemIdentifier("p1::/a.txt"), {},
                   [&](auto, auto error) { item.set(std::move(error)); });
  Waiter<std::optional<fileprovider::SyncAnchor>> anchor;
  enumerator("p1::/Docs")->currentSyncAnchor([&](auto value) { anchor.set(std::move(value)); });
  auto changes = std::make_shared<testing::CapturingChangeObserver>();
  enumerator("p1::/Docs")->enumerateChanges(changes, {FileProviderShareEpoch::makeAnchor(0, 3)});
  ASSERT_TRUE(testing::eventually([&] {
    std::lock_guard guard(mutex);
    return kept.size() == 5;
  }));

  side_.connection->invalidate();

  for (auto* listing : {walk.get(), folder.get()}) {
    auto result = listing->finished.wait().value();
    EXPECT_EQ(result.error.value().code(), -1004);
    EXPECT_TRUE(result.batches.empty());
  }
  EXPECT_EQ(item.wait().value()->code(), -1004);
  EXPECT_EQ(anchor.wait().value(), std::nullopt);
  EXPECT_EQ(changes->finished.wait().value().error.value().code(), -1004);

  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a second answer
  EXPECT_EQ(
      walk->finished.count() + folder->finished.count() + item.count() + anchor.count() + changes->finished.count(), 5);
  auto failures = records("mount.request_fail");
  ASSERT_EQ(failures.size(), 5u);
  for (const auto& failure : failures) {
    EXPECT_EQ(failure["error_code"], "connection_failed");
    EXPECT_EQ(failure["level"], "WARN");
    EXPECT_EQ(failure["retryable"], true);
  }
}

}  // namespace
}  // namespace corvane

// Listings through the real link against a scripted host: folders, the root and
// its reimport record, the working-set walk, and what each leaves in the logs.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/UniqueFd.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/PeerStore.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace corvane {
namespace {

using testing::entry;
using testing::hostError;
using testing::identifiers;
using testing::Waiter;
using List = std::vector<std::shared_ptr<const VfsFileEntryDto>>;
constexpr const char* kRoot = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

class EnumeratorTest : public testing::ExtensionTest {
 protected:
  // "/" holds a.txt, A/ and B/; A holds A1/ and x; B holds y; A1 holds z.
  void scriptTree(std::string failingFolder = "", std::string bumpingFolder = "") {
    host_->onListDirectory = [=](const std::string&, const std::string& path, auto reply) {
      if (path == failingFolder) return reply(std::nullopt, hostError(-12, "io"));
      if (path == bumpingFolder) FileProviderShareEpoch::bump("p1");
      List list;
      if (path == "/") list = {entry("a.txt"), entry("A", true), entry("B", true)};
      if (path == "/A") list = {entry("A1", true), entry("x")};
      if (path == "/B") list = {entry("y")};
      if (path == "/A/A1") list = {entry("z")};
      reply(list, std::nullopt);
    };
  }
};

TEST_F(EnumeratorTest, ListingsThatNeedNoHostAnswer) {
  EXPECT_EQ(list("p1:/Docs").error.value().code(), -1004) << "with no link, readiness is tested before parsing";
  EXPECT_EQ(outcome()["error_code"], "vfs_not_connected");
  EXPECT_EQ(systemLog_->messages().back(),
            "\u23f8\ufe0f [FPEnum] No XPC proxy for p1:/Docs \u2014 deferring enumeration");
  link();
  for (const std::string id : {"NSFileProviderTrashContainerItemIdentifier", "p1:/Docs"}) {
    auto result = list(id);
    EXPECT_FALSE(result.error) << id;
    EXPECT_TRUE(result.batches.empty()) << id;
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(records("mount.request_done").back()["detail"], "trash count=0");
  EXPECT_EQ(records("mount.request_fail").back()["error_code"], "invalid_argument");
  EXPECT_EQ(systemLog_->messages().back(), "\u26a0\ufe0f [FPEnum] Unparseable identifier: p1:/Docs");
}

TEST_F(EnumeratorTest, FoldersAreListedOnTheNamedPeerWithChildIdentifiers) {
  host_->onListDirectory = [](const std::string&, const std::string& path, auto reply) {
    reply(path == "/Empty" ? List{} : List{entry("a.txt"), entry("Sub", true)}, std::nullopt);
  };
  link();
  struct Case {
    std::string id, call;
    std::vector<std::string> children;
    std::string parent;
  };
  const Case kCases[] = {
      {kRoot, "listDirectory p1 /", {"p1::/a.txt", "p1::/Sub"}, kRoot},
      {"p2::/Docs", "listDirectory p2 /Docs", {"p2::/Docs/a.txt", "p2::/Docs/Sub"}, "p2::/Docs"},
      {"p1::/A//B", "listDirectory p1 /A//B", {"p1::/A/B/a.txt", "p1::/A/B/Sub"}, "p1::/A//B"},
      {"p1::/Empty", "listDirectory p1 /Empty", {}, "p1::/Empty"},
  };
  for (const Case& c : kCases) {
    auto result = list(c.id);
    ASSERT_EQ(result.batches.size(), 1u) << "one call, also for an empty folder: " << c.id;
    EXPECT_EQ(identifiers(result.batches[0]), c.children) << c.id;
    for (const auto& item : result.batches[0]) EXPECT_EQ(item->parentItemIdentifier().rawValue(), c.parent);
    EXPECT_EQ(calls().back(), c.call);
  }
  EXPECT_EQ(records("mount.request_done").back()["detail"], "/Empty count=0");
  EXPECT_EQ(host_->flowIds().back(), records("mount.request_done").back()["flow_id"]);
  EXPECT_EQ(systemLog_->messages().back(), "\u2705 [FPEnum] /Empty \u2192 0 items");
}

TEST_F(EnumeratorTest, HostFailuresBecomeServerUnreachable) {
  host_->onListDirectory = [](const std::string&, const std::string& path, auto reply) {
    if (path == "/gone") return reply(std::nullopt, hostError(-9, "not_found"));
    reply(std::nullopt, std::nullopt);
  };
  link();
  auto failed = list("p1::/gone");
  EXPECT_EQ(failed.error.value().code(), -1004) << "not -1005: a listing never passes host codes on";
  EXPECT_EQ(failed.error.value().localizedDescription(), "host says no");
  auto lines = normalisedLines();
  EXPECT_EQ(lines[lines.size() - 2],
            testing::logLine("ERROR", "mount.list_dir",
                             R"("domain":"mount","peer":"p1","operation":"mount.list_dir","detail":"\/gone",)"
                             R"("error_code":"not_found")",
                             "FileProviderEnumerator.cc"));
  EXPECT_EQ(lines.back(),
            testing::logLine("ERROR", "mount.request_fail",
                             R"("domain":"mount","peer":"p1","operation":"file_provider.enumerate_items",)"
                             R"("detail":"\/gone","flow_id":"F","error_code":"not_found",)"
                             R"("retryable":true,"elapsed_ms":E)",
                             "FileProviderRequestTrace.cc"));

  auto empty = list("p1::/silent");
  EXPECT_EQ(empty.error.value().code(), -1004);
  EXPECT_EQ(empty.error.value().userInfo(), foundation::UserInfo{}) << "present, with no keys";
  EXPECT_EQ(records("mount.request_fail").back()["error_code"], "protocol_error");
}

TEST_F(EnumeratorTest, RootListingExpiresWhenTheShareIsReplacedMeanwhile) {
  Waiter<VfsXpcProtocol::EntriesReply> held;
  host_->onListDirectory = [&](const std::string&, const std::string& path, auto reply) {
    if (path == "/") return held.set(std::move(reply));
    reply(List{entry("f")}, std::nullopt);
  };
  link();
  auto root = startListing(kRoot);
  auto reply = held.wait().value();
  FileProviderShareEpoch::bump("p1");
  auto folder = list("p1::/Docs");  // not bound to the epoch it started under
  EXPECT_FALSE(folder.error);
  EXPECT_EQ(std::dynamic_pointer_cast<const FileProviderItem>(folder.batches.at(0).at(0))->versionEpoch(),
            FileProviderShareEpoch::current("p1"));

  reply(List{entry("a")}, std::nullopt);
  auto result = root->finished.wait().value();
  EXPECT_EQ(result.error.value().code(), -1002);
  EXPECT_TRUE(result.batches.empty());
  EXPECT_EQ(records("mount.request_fail").back()["error_code"], "sync_anchor_expired");
  EXPECT_EQ(records("mount.request_fail").back()["level"], "WARN");
}

TEST_F(EnumeratorTest, FolderItemsEachReadTheShareEpochAnew) {
  host_->onListDirectory = [](const std::string&, const std::string&, auto reply) {
    reply(List{entry("a"), entry("b", true), entry("c")}, std::nullopt);
  };
  link();
  ASSERT_TRUE(FileProviderShareEpoch::bump("p1").has_value());
  const auto epochFile = PeerStore::fileURL(FileProviderShareEpoch::storeDirectoryName, "p1").value();
  // Every read opens and closes the file; the closes keep inotify from merging the opens.
  foundation::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(::inotify_add_watch(watch.get(), epochFile.parent_path().c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);

  auto result = list("p1::/Docs");
  ASSERT_EQ(result.batches.at(0).size(), 3u);
  int reads = 0;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = ::read(watch.get(), buffer, sizeof buffer)) > 0;) {
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if ((event->mask & IN_OPEN) && event->len > 0 && epochFile.filename() == event->name) ++reads;
      at += sizeof(inotify_event) + event->len;
    }
  }
  EXPECT_EQ(reads, 3) << "one read of the epoch per listed entry";
}

TEST_F(EnumeratorTest, OnlyARootListingRecordsAPendingReimport) {
  scriptTree();
  link();
  const auto recorded = [&] { return records("mount.reimport_done").size() + records("mount.reimport_fail").size(); };
  for (const bool storeBlocked : {true, false}) {
    const std::uint64_t epoch = FileProviderShareEpoch::bump("p1").value();
    const auto store = dir_.path() / "group.com.driftpin.corvane" / "FileProviderReimportEpochs";
    std::filesystem::remove_all(store);
    if (storeBlocked) std::ofstream(store.string()) << "not a folder";
    const std::size_t before = recorded();
    list(kWorkingSet);
    list("p1::/A");
    EXPECT_EQ(recorded(), before);
    EXPECT_FALSE(list(kRoot).error) << "the record's outcome never changes the listing";
    EXPECT_EQ(FileProviderReimportState::isCompleted("p1", epoch), !storeBlocked);
  }
  list(kRoot);  // nothing pending any more
  auto done = records("mount.reimport_done");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]["detail"], "authoritative_snapshot root count=3");
  auto failed = records("mount.reimport_fail");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]["detail"], "completion_record_write_failed root count=3");
  EXPECT_EQ(failed[0]["retryable"], true);
}

// Notes each call a request makes of the framework with the records the log
// held at that moment: what the framework is told comes before the request is
// logged as done, and the end after.
struct OrderObserver final : fileprovider::EnumerationObserver, fileprovider::ChangeObserver {
  explicit OrderObserver(std::function<std::string()> loggedNow) : logged(std::move(loggedNow)) {}
  void note(const std::string& call) {
    std::lock_guard guard(mutex);
    seen.push_back(call + " " + logged());
  }
  void didEnumerateItems(std::vector<fileprovider::ItemPtr>) override { note("items"); }
  void finishEnumeratingUpToPage(std::optional<fileprovider::Page>) override { end(); }
  void didUpdateItems(std::vector<fileprovider::ItemPtr>) override { note("updated"); }
  void didDeleteItemsWithIdentifiers(std::vector<fileprovider::ItemIdentifier>) override { note("deleted"); }
  void finishEnumeratingChangesUpToSyncAnchor(fileprovider::SyncAnchor, bool) override { end(); }
  void finishEnumeratingWithError(foundation::Error) override { end(); }
  void end() {
    note("end");
    finished.set(true);
  }
  const std::function<std::string()> logged;
  std::mutex mutex;
  std::vector<std::string> seen;
  Waiter<bool> finished;
};

TEST_F(EnumeratorTest, ItemsReachTheFrameworkBeforeTheSnapshotAndTheTraceAndTheEndAfter) {
  scriptTree();
  host_->onReadChanges = [](const std::string&, const std::string&, std::uint64_t, auto reply) {
    std::vector<std::shared_ptr<const VfsFsChangeDto>> list = {std::make_shared<VfsFsChangeDto>(entry("x")),
                                                               std::make_shared<VfsFsChangeDto>(std::string("gone"))};
    reply(std::make_shared<VfsChangesResultDto>(list, 9), std::nullopt);
  };
  link();
  const auto count = [&](const char* event) { return std::to_string(records(event).size()); };
  struct Row {
    const char* container;
    bool changes;
    std::vector<std::string> expected;  // each call with the reimport and done records logged then
  };
  const Row rows[] = {
      {kRoot, false, {"items 0/0", "end 1/1"}},
      {kWorkingSet, false, {"items 1/1", "end 1/2"}},
      {"p1::/A", true, {"updated 1/2", "deleted 1/2", "end 1/3"}},
  };
  FileProviderShareEpoch::bump("p1");  // a reimport is due: the root listing marks it
  for (const Row& row : rows) {
    auto observer = std::make_shared<OrderObserver>(
        [&] { return count("mount.reimport_done") + "/" + count("mount.request_done"); });
    if (row.changes) {
      enumerator(row.container)
          ->enumerateChanges(observer, {FileProviderShareEpoch::makeAnchor(FileProviderShareEpoch::current("p1"), 1)});
    } else {
      enumerator(row.container)->enumerateItems(observer, {});
    }
    ASSERT_TRUE(observer->finished.wait().has_value()) << row.container;
    EXPECT_EQ(observer->seen, row.expected) << row.container;
  }
}

TEST_F(EnumeratorTest, ReplyOutlivingItsEnumeratorStillDeliversTheItems) {
  Waiter<VfsXpcProtocol::EntriesReply> held;
  host_->onListDirectory = [&](const std::string&, const std::string&, auto reply) { held.set(std::move(reply)); };
  link();
  auto observer = startListing("p1::/Docs");  // the enumerator is released at once
  held.wait().value()(List{entry("a.txt")}, std::nullopt);
  auto result = observer->finished.wait().value();
  EXPECT_EQ(identifiers(result.batches.at(0)), std::vector<std::string>{"p1::/Docs/a.txt"});
}

TEST_F(EnumeratorTest, WorkingSetIsTheWholeShareBreadthFirst) {
  scriptTree();
  link();
  const std::uint64_t epoch = FileProviderShareEpoch::bump("p1").value();
  auto result = list(kWorkingSet);
  EXPECT_EQ(calls(), (std::vector<std::string>{"listDirectory p1 /", "listDirectory p1 /A", "listDirectory p1 /B",
                                               "listDirectory p1 /A/A1"}));
  ASSERT_EQ(result.batches.size(), 1u);
  EXPECT_EQ(identifiers(result.batches[0]), (std::vector<std::string>{"p1::/a.txt", "p1::/A", "p1::/B", "p1::/A/A1",
                                                                      "p1::/A/x", "p1::/B/y", "p1::/A/A1/z"}));
  EXPECT_EQ(result.batches[0][0]->parentItemIdentifier().rawValue(), kRoot);
  EXPECT_EQ(result.batches[0][6]->parentItemIdentifier().rawValue(), "p1::/A/A1");
  EXPECT_EQ(outcome()["detail"], "working_set count=7 epoch=" + std::to_string(epoch));
}

TEST_F(EnumeratorTest, WalkFailingInTheThirdFolderReportsNothing) {
  scriptTree("/B");
  link();
  auto result = list(kWorkingSet);
  EXPECT_EQ(result.error.value().code(), -1004);
  EXPECT_EQ(result.error.value().localizedDescription(), "host says no");
  EXPECT_TRUE(result.batches.empty());
  EXPECT_EQ(calls().size(), 3u);
  EXPECT_EQ(records("mount.list_dir").at(0)["detail"], "/B");
  EXPECT_EQ(systemLog_->messages().back(), "\u274c [FPEnum] working-set list failed at /B: host says no");
}

TEST_F(EnumeratorTest, WalkExpiresWhenTheShareWasReplacedWhileItRan) {
  scriptTree("", "/A");
  link();
  auto result = list(kWorkingSet);
  EXPECT_EQ(result.error.value().code(), -1002);
  EXPECT_TRUE(result.batches.empty());
  EXPECT_EQ(calls().size(), 4u) << "the walk runs to its end before comparing";
  EXPECT_EQ(outcome()["error_code"], "sync_anchor_expired");
}

}  // namespace
}  // namespace corvane

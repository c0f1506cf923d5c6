// The mount's tree, its change poller and its upload queue without FUSE: a node
// table filled the way listings fill it, rounds of polling, and uploads, each
// against a scripted extension.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/service/LogBound.h"
#include "framework/mount/tree/ChangePoller.h"
#include "framework/mount/tree/FolderListings.h"
#include "framework/mount/tree/NodeTable.h"
#include "framework/mount/upload/UploadQueue.h"
#include "tests/framework/FakeExtension.h"
#include "tests/framework/UploadTestSupport.h"
#include "tests/support/TempDir.h"

namespace corvane::framework::mount {
namespace {

using fileprovider::ItemIdentifier;
using testing::FakeExtension;
constexpr const char* kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

TEST(NodeTable, RenamedFoldersTakeWhatIsBelowThemAndDetachedNodesLeaveTheIndex) {
  NodeTable table;
  auto held = table.hold();
  const fuse_ino_t a = table.place(held, FakeExtension::item("/A", 0, true), FUSE_ROOT_ID);
  const fuse_ino_t sub = table.place(held, FakeExtension::item("/A/sub", 0, true), a);
  const fuse_ino_t file = table.place(held, FakeExtension::item("/A/sub/f"), sub);
  const fuse_ino_t sibling = table.place(held, FakeExtension::item("/AB"), FUSE_ROOT_ID);
  EXPECT_EQ(table.place(held, FakeExtension::item("/A/sub/f", 7), sub), file) << "an item keeps its inode";
  table.find(held, sub)->folderState->listed = true;

  std::vector<std::string> moved;
  for (const auto& below : table.rekey(held, table.find(held, a), ItemIdentifier("p::/B")))
    moved.push_back(below.identifier);
  EXPECT_EQ(moved, std::vector<std::string>{"p::/B/sub/f"}) << "files below are told of, folders are not";
  EXPECT_EQ(table.find(held, sub)->identifier.rawValue(), "p::/B/sub");
  EXPECT_FALSE(table.find(held, sub)->folderState->listed) << "its items still name the old path: listed again";
  EXPECT_EQ(table.findIdentifier(held, "p::/B/sub/f")->inode, file);
  EXPECT_EQ(table.findIdentifier(held, "p::/A/sub/f"), nullptr);
  EXPECT_EQ(table.find(held, sibling)->identifier.rawValue(), "p::/AB") << "a name that only begins alike stays";

  table.renameChild(held, table.find(held, FUSE_ROOT_ID), table.find(held, a), "B");
  EXPECT_EQ(table.pathOf(held, table.find(held, file)), "/B/sub/f");
  table.detach(held, table.find(held, file));
  EXPECT_TRUE(table.find(held, file)->unlinked);
  EXPECT_EQ(table.findIdentifier(held, "p::/B/sub/f"), nullptr);
  EXPECT_NE(table.find(held, file), nullptr) << "the node lives on for its open handles";

  // What the kernel still knows stays; what it forgot and no folder holds goes.
  table.placeIn(held, table.find(held, FUSE_ROOT_ID), table.find(held, sibling)->item);
  const NodePtr listed = table.find(held, sibling);
  table.lookedUp(held, listed);
  table.lookedUp(held, table.find(held, file));
  table.lookedUp(held, table.find(held, file));
  held.lock().unlock();
  table.forgotten(file, 1);
  table.forgotten(sibling, 1);
  held.lock().lock();
  EXPECT_NE(table.find(held, file), nullptr) << "one lookup is left";
  EXPECT_EQ(table.find(held, sibling), listed) << "still in its folder";
  held.lock().unlock();
  table.forgotten(file, 1);
  held.lock().lock();
  EXPECT_EQ(table.find(held, file), nullptr) << "unlinked and forgotten";
  const NodePtr gone = table.find(held, table.place(held, FakeExtension::item("/C"), FUSE_ROOT_ID));
  table.lookedUp(held, gone);
  held.lock().unlock();
  table.forgotten(gone->inode, 1);
  held.lock().lock();
  table.lookedUp(held, gone);
  EXPECT_EQ(table.find(held, gone->inode), gone) << "told to the kernel again: back in the table";

  const fuse_ino_t folderNow = table.place(held, FakeExtension::item("/AB", 0, true), FUSE_ROOT_ID);
  EXPECT_NE(folderNow, sibling) << "an identifier that names a folder now gets a node of its own";
  EXPECT_EQ(table.findIdentifier(held, "p::/AB")->inode, folderNow);
  EXPECT_TRUE(table.find(held, folderNow)->folderState && !table.find(held, sibling)->folderState);
}

// An entry is handed out only when it is its item's size: an upload's answer
// can describe a version the peer wrote right after it, whose bytes are not
// the ones sent, and an entry that went wrong must not fail every open.
// Past its size a log becomes the one older file, replacing the one before;
// under it, or absent, nothing moves.
TEST(LogBound, KeepsTheLogAndOneOlderFile) {
  testing::TempDir dir;
  const auto log = dir.path() / "events.jsonl";
  LogBound bound(log, 10);
  EXPECT_FALSE(bound.check()) << "no log yet";
  testing::writeFile(log, "0123456789");
  EXPECT_FALSE(bound.check()) << "at the size, not past it";
  for (const char* text : {"first run, past the size\n", "second run, past it too\n"}) {
    testing::writeFile(log, text);
    EXPECT_TRUE(bound.check());
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_EQ(testing::readFile(dir.path() / "events.1.jsonl"), text);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(MaterializedCache, NeverHandsOutAnEntryOfAnotherSizeThanItsItem) {
  testing::TempDir dir;
  testing::ScopedEnv cacheHome("XDG_CACHE_HOME", (dir.path() / "cache").string());
  auto cache = MaterializedCache::open("c").value();
  auto write = [&](const std::string& name, const std::string& bytes) {
    const auto path = dir.path() / name;
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(bytes.c_str(), file);
    std::fclose(file);
    return path;
  };
  auto cached = [&](const fileprovider::ItemPtr& item) {
    return cache->find(item->itemIdentifier().rawValue(), item->itemVersion().contentVersion).has_value();
  };
  const auto sent = write("sent", "12345");
  const auto peersNext = FakeExtension::item("/f", 9);
  cache->adopt(peersNext, sent);
  EXPECT_FALSE(cached(peersNext)) << "sent bytes are not taken as a version of another size";

  const auto item = FakeExtension::item("/f", 5);
  cache->adopt(item, sent);
  ASSERT_TRUE(cached(item));
  write("sent", "1234567");  // the entry is the same file: it is 7 bytes now
  const auto fetched = write("fetched", "abcde");
  auto entry = cache->materialise(item, [&] { return foundation::Result<Fetched>(Fetched{fetched, item}); });
  ASSERT_TRUE(entry.ok()) << "the fetched file takes the entry's place";
  char bytes[8] = {};
  EXPECT_EQ(::pread(entry->fd.get(), bytes, sizeof bytes, 0), 5);
  EXPECT_STREQ(bytes, "abcde");
}

class ChangePollerTest : public ::testing::Test {
 protected:
  ChangePollerTest() {
    extension_->listings[kWorkingSet] = {FakeExtension::item("/a.txt"), FakeExtension::item("/D", 0, true),
                                         FakeExtension::item("/D/x")};
    extension_->listings[ItemIdentifier::rootContainer().rawValue()] = {FakeExtension::item("/a.txt"),
                                                                        FakeExtension::item("/D", 0, true)};
    extension_->listings["p::/D"] = {FakeExtension::item("/D/x")};
    invalidations_.connect([this](std::vector<Invalidation> batch) {
      for (const auto& i : batch) {
        invalidated_.push_back(std::to_string(int(i.kind)) + " " + std::to_string(i.inode) + " " + i.name);
      }
    });
    poller_.setRemoteChangeSink([this](const std::vector<RemoteChange>& changes) {
      for (const auto& change : changes) applied_.push_back(std::to_string(int(change.kind)) + " " + change.path);
    });
  }
  std::vector<std::string> childrenOf(const std::string& raw) {
    const auto held = table_.hold();
    std::vector<std::string> names;
    table_.findIdentifier(held, raw)->folderState->children.each(
        [&](const Node& child) { names.push_back(child.name()); });
    std::sort(names.begin(), names.end());
    return names;
  }
  fuse_ino_t inodeOf(const std::string& raw) {
    const auto held = table_.hold();
    auto node = table_.findIdentifier(held, raw);
    return node ? node->inode : 0;
  }
  std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  std::shared_ptr<FakeExtension> extension_ = std::make_shared<FakeExtension>();
  std::shared_ptr<ExtensionCalls> calls_ = std::make_shared<ExtensionCalls>(extension_, std::chrono::seconds(5));
  NodeTable table_;
  Invalidations invalidations_;
  FolderListings listings_{calls_, table_, invalidations_};
  std::vector<std::string> invalidated_, applied_;
  ChangePoller poller_{calls_, table_, listings_, invalidations_};
};

// The first round fills every folder: one working-set walk on this machine,
// each folder's own listing for a share elsewhere.
TEST_F(ChangePollerTest, TheFirstRoundFillsEveryFolderAndAQuietShareCostsOneRequest) {
  const std::string root = ItemIdentifier::rootContainer().rawValue();
  for (const bool elsewhere : {false, true}) {
    NodeTable table;
    FolderListings listings{calls_, table, invalidations_, elsewhere};
    ChangePoller poller{calls_, table, listings, invalidations_};
    extension_->asked.clear();
    poller.round();
    for (const auto& [folder, names] :
         {std::pair<std::string, std::vector<std::string>>{root, {"D", "a.txt"}}, {"p::/D", {"x"}}}) {
      const auto held = table.hold();
      std::vector<std::string> children;
      table.findIdentifier(held, folder)->folderState->children.each([&](const Node& child) {
        children.push_back(child.name());
      });
      EXPECT_EQ(sorted(children), names) << elsewhere;
    }
    poller.round();
    const std::vector<std::string> walked = {std::string("list ") + kWorkingSet};
    const std::vector<std::string> listedEach = {"list " + root, "list p::/D"};
    std::vector<std::string> expected = elsewhere ? listedEach : walked;
    expected.push_back(std::string("changes ") + kWorkingSet);
    EXPECT_EQ(extension_->asked, expected) << elsewhere;
  }
  EXPECT_TRUE(invalidated_.empty());
}

TEST_F(ChangePollerTest, AMovedShareBringsEachFolderUpToDateAndAnExpiredOneIsListedAgain) {
  poller_.round();
  const std::string root = std::to_string(FUSE_ROOT_ID), a = std::to_string(inodeOf("p::/a.txt"));
  const std::string d = std::to_string(inodeOf("p::/D"));
  const auto expired = foundation::Error(foundation::kFileProviderErrorDomain, fileprovider::ErrorCode::syncAnchorExpired);
  extension_->feeds[kWorkingSet] = {{}, {}, expired};
  extension_->feeds[ItemIdentifier::rootContainer().rawValue()] = {
      {FakeExtension::item("/b.txt"), FakeExtension::item("/a.txt", 2)}, {}, std::nullopt};
  extension_->feeds["p::/D"] = {{}, {"p::/D/x"}, std::nullopt};
  poller_.round();
  EXPECT_EQ(childrenOf(ItemIdentifier::rootContainer().rawValue()), (std::vector<std::string>{"D", "a.txt", "b.txt"}));
  EXPECT_TRUE(childrenOf("p::/D").empty());
  EXPECT_EQ(inodeOf("p::/D/x"), 0u);
  EXPECT_EQ(sorted(applied_), (std::vector<std::string>{"0 /b.txt", "1 /a.txt", "2 /D/x"}));
  EXPECT_EQ(sorted(invalidated_), sorted({"0 " + root + " b.txt", "2 " + a + " ", "2 " + root + " ", "0 " + d + " x",
                                          "2 " + d + " "}));

  invalidated_.clear();
  extension_->feeds["p::/D"] = {{}, {}, expired};
  poller_.round();
  EXPECT_EQ(invalidated_, std::vector<std::string>{"2 " + d + " "}) << "the folder's contents are asked again";
  const auto folder = table_.node(inodeOf("p::/D"));
  fuse_ino_t made = 0;
  {
    const auto held = table_.hold();
    EXPECT_FALSE(folder->folderState->listed);
    // A new file whose upload the peer already lists, before the upload's answer names its item.
    made = table_.addNew(held, folder, "new")->inode;
  }
  extension_->listings["p::/D"] = {FakeExtension::item("/D/new")};
  ASSERT_EQ(listings_.ensureListed(folder), 0);
  extension_->feeds["p::/D"] = {{FakeExtension::item("/D/new")}, {}, std::nullopt};
  poller_.round();
  const auto held = table_.hold();
  EXPECT_EQ(folder->folderState->children.find("new"), made) << "the name stays the new file's";
}

class UploadQueueTest : public ::testing::Test, public UploadQueue::Listener {
 protected:
  UploadQueueTest() {
    extension_->fetchFolder = dir_.path() / "fetched";
    queue_.setListener(this);
  }
  ~UploadQueueTest() override { queue_.stopWorker(); }
  void stored(std::uint64_t key, std::uint64_t, const fileprovider::ItemPtr& item, bool) override {
    std::lock_guard guard(mutex_);
    told_.push_back("stored " + std::to_string(key) + " " + item->filename());
  }
  void conflicted(std::uint64_t key, std::uint64_t, const fileprovider::ItemPtr& peer,
                  const fileprovider::ItemPtr& copy) override {
    std::lock_guard guard(mutex_);
    told_.push_back("conflicted " + std::to_string(key) + " " + (peer ? peer->filename() : "-") + " " +
                    copy->filename());
  }
  std::uint64_t close(std::uint64_t key, const std::string& name, const std::string& bytes,
                      const fileprovider::ItemPtr& base = nullptr) {
    return closeInto(queue_, key, name, bytes, base);
  }
  std::string peerBytes(const std::string& name) {
    std::lock_guard guard(extension_->mutex);
    return extension_->bytes["p::/" + name];
  }

  testing::TempDir dir_;
  testing::ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  testing::ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  std::shared_ptr<FakeExtension> extension_ = std::make_shared<FakeExtension>();
  UploadQueue queue_{"p", std::make_shared<ExtensionCalls>(extension_, std::chrono::seconds(5)),
                     UploadJournal::open("q").value(), MaterializedCache::open("q").value()};
  std::mutex mutex_;  // guards told_
  std::vector<std::string> told_;
};

TEST_F(UploadQueueTest, ACloseNotYetSentGivesWayToTheNextAndAnEditThePeerOvertookBecomesACopy) {
  const std::uint64_t first = close(1, "new.txt", "one");
  const std::uint64_t second = close(1, "new.txt", "two");
  fileprovider::ItemPtr theirs;
  {
    std::lock_guard guard(extension_->mutex);
    theirs = extension_->store("a.txt", "theirs");
  }
  // Edited here from a version the peer has since left.
  const std::uint64_t edit = close(2, "a.txt", "mine", FakeExtension::item("/a.txt", 99));
  queue_.startWorker();
  EXPECT_EQ(queue_.waitStored(1, second), 0);
  EXPECT_EQ(queue_.waitStored(2, edit), 0);
  EXPECT_LT(first, second);

  EXPECT_EQ(peerBytes("new.txt"), "two");
  {
    std::lock_guard guard(extension_->mutex);
    EXPECT_EQ(std::count(extension_->asked.begin(), extension_->asked.end(), "create new.txt"), 1)
        << "the first close, never tried, is not sent on its own";
  }
  EXPECT_EQ(peerBytes("a.txt"), "theirs") << "the peer's edit is kept";
  const auto conflicts = queue_.conflicts();
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_EQ(conflicts[0].path, "/a.txt");
  EXPECT_EQ(peerBytes(conflicts[0].copy), "mine") << "and the local one beside it";
  EXPECT_TRUE(queue_.queued().empty());
  std::lock_guard guard(mutex_);
  std::sort(told_.begin(), told_.end());  // two files: their uploads may land in either order
  EXPECT_EQ(told_, (std::vector<std::string>{"conflicted 2 a.txt " + conflicts[0].copy, "stored 1 new.txt"}));
}

TEST_F(UploadQueueTest, AFileRenamedBeforeItsUploadStartsIsMadeOnceUnderItsLastName) {
  const std::uint64_t sequence = close(1, ".f.txt.tmp", "one");
  ASSERT_TRUE(queue_.hold(1));
  EXPECT_TRUE(queue_.retitle(1, "f.txt", "/f.txt", {}));
  queue_.release(1);
  queue_.startWorker();
  EXPECT_EQ(queue_.waitStored(1, sequence), 0);
  EXPECT_FALSE(queue_.retitle(1, "again.txt", "/again.txt", {})) << "it is on the peer now";
  EXPECT_EQ(peerBytes("f.txt"), "one");
  std::lock_guard guard(extension_->mutex);
  EXPECT_EQ(std::count(extension_->asked.begin(), extension_->asked.end(), "create f.txt"), 1);
  EXPECT_EQ(std::count(extension_->asked.begin(), extension_->asked.end(), "create .f.txt.tmp"), 0);
}

// An editor's save: a new file renamed onto the peer's before its upload is an
// edit of the version this mount saw, and what was queued for it goes.
TEST_F(UploadQueueTest, AFileRenamedOntoThePeersBeforeItsUploadIsAnEditOfItAndReplacesWhatWasQueuedForIt) {
  fileprovider::ItemPtr theirs;
  {
    std::lock_guard guard(extension_->mutex);
    theirs = extension_->store("g.txt", "old");
  }
  const std::uint64_t edit = close(2, "g.txt", "an edit the rename replaces", theirs);
  const std::uint64_t made = close(1, ".g.txt.tmp", "new");
  {
    std::lock_guard guard(extension_->mutex);
    extension_->store("g.txt", "changed on the peer meanwhile");
  }
  ASSERT_TRUE(queue_.retitle(1, "g.txt", "/g.txt", {2, theirs}));
  queue_.startWorker();
  EXPECT_EQ(queue_.waitStored(1, made), 0);
  EXPECT_EQ(queue_.waitStored(2, edit), 0) << "dropped with the file it was for";
  EXPECT_EQ(peerBytes("g.txt"), "changed on the peer meanwhile") << "both changed it: the peer's keeps the name";
  ASSERT_EQ(queue_.conflicts().size(), 1u);
  EXPECT_EQ(peerBytes(queue_.conflicts()[0].copy), "new");
}

// The peer's f.txt ("old"), and an edit of it that an earlier run closed and
// never sent, as its journal holds it; the edit's first try fails.
fileprovider::ItemPtr leaveAnEditFromAnEarlierRun(FakeExtension& extension) {
  fileprovider::ItemPtr before;
  {
    std::lock_guard guard(extension.mutex);
    before = extension.store("f.txt", "old");
    extension.unreachableChanges = 1;
  }
  auto journal = UploadJournal::open("q").value();
  auto [path, fd] = journal->newWorkFile().value();
  EXPECT_EQ(::pwrite(fd.get(), "older", 5, 0), 5);
  PendingUpload record;
  record.identifier = before->itemIdentifier().rawValue();
  record.parentIdentifier = ItemIdentifier::rootContainer().rawValue();
  record.name = "f.txt";
  record.path = "/f.txt";
  record.baseVersion = before->itemVersion().contentVersion;
  EXPECT_TRUE(journal->commit(record, fd.get(), path).ok());
  return before;
}

TEST_F(UploadQueueTest, AnEditLeftByAnEarlierRunAndOneOfThisRunGoInOrderWithoutAConflict) {
  const auto before = leaveAnEditFromAnEarlierRun(*extension_);
  queue_.replay();
  ASSERT_EQ(queue_.pendingCount(), 1u) << "it stays queued";
  // This run edits the file from what it lists: the peer's version, still "old".
  const std::uint64_t edit = close(7, "f.txt", "newest", before);
  queue_.startWorker();
  EXPECT_EQ(queue_.waitStored(7, edit), 0);
  EXPECT_EQ(queue_.drain(std::chrono::seconds(30), [](std::size_t) {}), 0u);
  EXPECT_EQ(peerBytes("f.txt"), "newest");
  EXPECT_TRUE(queue_.conflicts().empty()) << queue_.conflicts()[0].copy;
}

TEST_F(UploadQueueTest, AFileClaimsTheEditAnEarlierRunLeftForItAndCanWaitForIt) {
  const auto before = leaveAnEditFromAnEarlierRun(*extension_);
  queue_.replay();
  PendingUpload where;
  where.identifier = before->itemIdentifier().rawValue();
  queue_.claim(7, where);
  const std::uint64_t left = queue_.latest(7);
  ASSERT_NE(left, 0u) << "a rename or fsync of the file waits for it";
  queue_.startWorker();
  EXPECT_EQ(queue_.waitStored(7, left), 0);
  EXPECT_EQ(peerBytes("f.txt"), "older");
  std::lock_guard guard(mutex_);
  EXPECT_EQ(told_, std::vector<std::string>{"stored 7 f.txt"}) << "the mount hears of it as the file's";
}

}  // namespace
}  // namespace corvane::framework::mount

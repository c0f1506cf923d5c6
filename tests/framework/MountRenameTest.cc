// A rename made here, and what the upload queue's reports do to the tree,
// against a scripted extension and without FUSE: the parts a rename waits
// for, holds and rolls back, seen from the peer's side and the tree's.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/mount/filesystem/RenameProtocol.h"
#include "framework/mount/filesystem/UploadOutcomes.h"
#include "tests/framework/FakeExtension.h"
#include "tests/framework/UploadTestSupport.h"
#include "tests/support/TempDir.h"

namespace corvane::framework::mount {
namespace {

using testing::FakeExtension;

class MountRenameTest : public ::testing::Test, public RenameProtocol::Files {
 protected:
  MountRenameTest() {
    extension_->fetchFolder = dir_.path() / "fetched";
    uploads_->setListener(&outcomes_);
    invalidations_.connect([this](std::vector<Invalidation> batch) {
      std::lock_guard guard(mutex_);
      for (const auto& i : batch) {
        if (i.kind == Invalidation::Kind::entry) invalidated_.push_back(i.name);
      }
    });
  }
  ~MountRenameTest() override {
    uploads_->stopWorker();
    uploads_->setListener(nullptr);
  }

  // The peer's top folder holds these files (a name ending in "/" is a
  // folder), and the mount has listed it.
  void share(const std::map<std::string, std::string>& files) {
    {
      std::lock_guard guard(extension_->mutex);
      auto& listing = extension_->listings[fileprovider::ItemIdentifier::rootContainer().rawValue()];
      for (const auto& [name, bytes] : files) {
        if (name.back() != '/') {
          listing.push_back(extension_->store(name, bytes));
          continue;
        }
        auto folder = FakeExtension::item("/" + name.substr(0, name.size() - 1), 0, true);
        extension_->items[folder->itemIdentifier().rawValue()] = folder;
        listing.push_back(folder);
      }
    }
    ASSERT_EQ(listings_.ensureListed(table_.node(FUSE_ROOT_ID)), 0);
  }
  NodePtr child(const std::string& name) { return table_.child(table_.node(FUSE_ROOT_ID), name); }
  fuse_ino_t inodeOf(const std::string& name) { return child(name) ? child(name)->inode : 0; }
  int rename(const std::string& from, const std::string& to, unsigned flags = 0) {
    return renames_.rename(FUSE_ROOT_ID, from, FUSE_ROOT_ID, to, flags);
  }
  std::vector<std::string> asked() {
    std::lock_guard guard(extension_->mutex);
    return extension_->asked;
  }
  std::size_t askedToChange() {
    auto all = asked();
    return std::count_if(all.begin(), all.end(), [](const std::string& a) { return a.rfind("list", 0) != 0; });
  }

  // What a rename asks of the files: the upload queue's own answers, and notes.
  int sealNew(const NodePtr&) override { return 0; }
  int settle(const NodePtr& file) override {
    const std::uint64_t latest = uploads_->latest(file->inode);
    return latest ? uploads_->waitStored(file->inode, latest) : 0;
  }
  void claimEarlier(const NodePtr&) override {}
  void keepLocal(const NodePtr& file) override { keptLocal_.push_back(file->inode); }
  void retag(const NodeTable::Held&, const NodePtr& file, const UploadQueue::VersionChange&) override {
    retagged_.push_back(file->inode);
  }
  fileprovider::ItemPtr caughtUp(const NodePtr& file) override {
    const auto held = table_.hold();
    return file->item;
  }

  testing::TempDir dir_;
  testing::ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  testing::ScopedEnv cacheHome_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  std::shared_ptr<FakeExtension> extension_ = std::make_shared<FakeExtension>();
  std::shared_ptr<ExtensionCalls> calls_ = std::make_shared<ExtensionCalls>(extension_, std::chrono::seconds(5));
  std::shared_ptr<MaterializedCache> cache_ = MaterializedCache::open("r").value();
  std::shared_ptr<UploadQueue> uploads_ =
      std::make_shared<UploadQueue>("p", calls_, UploadJournal::open("r").value(), cache_);
  NodeTable table_;
  Invalidations invalidations_;
  FolderListings listings_{calls_, table_, invalidations_};
  SealsAndRenames interlock_{table_};
  UploadOutcomes outcomes_{table_, invalidations_};
  RenameProtocol renames_{{table_, listings_, interlock_, calls_, cache_, uploads_}, *this};
  std::vector<fuse_ino_t> keptLocal_, retagged_;
  std::mutex mutex_;  // guards invalidated_
  std::vector<std::string> invalidated_;
};

TEST_F(MountRenameTest, WhatThePeerCannotDoIsRefusedBeforeItIsAsked) {
  share({{"a.txt", "A"}, {"b.txt", "B"}, {"D/", ""}});
  const struct {
    std::string from, to;
    unsigned flags;
    int expected;
  } cases[] = {
      {"a.txt", "b.txt", RENAME_EXCHANGE, EINVAL},
      {"a.txt", "b.txt", RENAME_NOREPLACE, EEXIST},
      {"none", "x", 0, ENOENT},
      {"a.txt", "D", 0, EISDIR},
      {"D", "a.txt", 0, ENOTDIR},
      {"a.txt", std::string(kVfsPathMax, 'n'), 0, ENAMETOOLONG},
      {"a.txt", "a.txt", 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(rename(c.from, c.to, c.flags), c.expected) << c.from << " -> " << c.to;
  EXPECT_EQ(renames_.rename(FUSE_ROOT_ID, "a.txt", inodeOf("D"), "a.txt", 0), EXDEV) << "mv copies then";
  EXPECT_EQ(askedToChange(), 0u);
  EXPECT_EQ(extension_->files(), (std::map<std::string, std::string>{{"a.txt", "A"}, {"b.txt", "B"}}));
}

TEST_F(MountRenameTest, OntoAFileThatOneIsMovedAsideAndRemovedOnlyOnceTheRenameLanded) {
  share({{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}});
  const fuse_ino_t a = inodeOf("a.txt"), b = inodeOf("b.txt");
  EXPECT_EQ(rename("a.txt", "b.txt"), 0);
  EXPECT_EQ(extension_->files(), (std::map<std::string, std::string>{{"b.txt", "A"}, {"c.txt", "C"}}));
  const std::string aside = ".corvane-replaced-" + std::to_string(b) + "-b.txt";
  const auto all = asked();
  EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()),
            (std::vector<std::string>{"modify " + aside, "modify b.txt", "delete " + aside}));
  EXPECT_EQ(inodeOf("b.txt"), a);
  EXPECT_EQ(inodeOf("a.txt"), 0u);
  EXPECT_EQ(keptLocal_, std::vector<fuse_ino_t>{b}) << "handles open on the file replaced keep its bytes";
  EXPECT_EQ(retagged_, std::vector<fuse_ino_t>{a}) << "an edit open on the renamed file goes on from its new version";

  // A rename the peer does not take puts the file it would replace back.
  {
    std::lock_guard guard(extension_->mutex);
    extension_->unreachableItems.insert("p::/c.txt");
  }
  EXPECT_EQ(rename("c.txt", "b.txt"), EIO);
  EXPECT_EQ(extension_->files(), (std::map<std::string, std::string>{{"b.txt", "A"}, {"c.txt", "C"}}));
  EXPECT_EQ(inodeOf("b.txt"), a);
}

TEST_F(MountRenameTest, OntoAFileThePeerChangedMeanwhileThatChangeStaysAsAConflictCopy) {
  share({{"a.txt", "A"}, {"b.txt", "B"}});
  {
    std::lock_guard guard(extension_->mutex);
    extension_->store("b.txt", "changed on the peer");
  }
  EXPECT_EQ(rename("a.txt", "b.txt"), 0);
  const auto conflicts = uploads_->conflicts();
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_EQ(conflicts[0].path, "/b.txt");
  EXPECT_EQ(extension_->files(),
            (std::map<std::string, std::string>{{"b.txt", "A"}, {conflicts[0].copy, "changed on the peer"}}));
}

// A new file still in the queue (an editor's temporary file) is renamed where
// it waits; the upload's report then names the node after the peer's item.
TEST_F(MountRenameTest, ANewFileNotSentYetIsRenamedWhereItWaitsAndReachesThePeerOnce) {
  share({});
  NodePtr made;
  {
    const auto held = table_.hold();
    made = table_.addNew(held, table_.find(held, FUSE_ROOT_ID), ".n.txt.tmp");
  }
  const std::uint64_t sequence = closeInto(*uploads_, made->inode, ".n.txt.tmp", "new");
  EXPECT_EQ(rename(".n.txt.tmp", "n.txt"), 0);
  EXPECT_EQ(askedToChange(), 0u) << "the peer hears of the file only with its upload";
  uploads_->startWorker();
  ASSERT_EQ(uploads_->waitStored(made->inode, sequence), 0);
  EXPECT_EQ(extension_->files(), (std::map<std::string, std::string>{{"n.txt", "new"}}));
  const auto held = table_.hold();
  ASSERT_NE(table_.findIdentifier(held, "p::/n.txt"), nullptr);
  EXPECT_EQ(table_.findIdentifier(held, "p::/n.txt")->inode, made->inode);
  EXPECT_EQ(made->name(), "n.txt");
}

// An edit made from a version the peer has since left: the peer's file keeps
// the name in the tree too, and the local bytes show beside it as the copy.
TEST_F(MountRenameTest, AnEditThePeerOvertookLeavesThePeersFileUnderItsNameAndTheCopyBesideIt) {
  share({{"a.txt", "A"}});
  const NodePtr file = child("a.txt");
  fileprovider::ItemPtr base, theirs;
  {
    const auto held = table_.hold();
    base = file->item;
  }
  {
    std::lock_guard guard(extension_->mutex);
    theirs = extension_->store("a.txt", "theirs");
  }
  const std::uint64_t sequence = closeInto(*uploads_, file->inode, "a.txt", "mine", base);
  uploads_->startWorker();
  ASSERT_EQ(uploads_->waitStored(file->inode, sequence), 0);
  ASSERT_EQ(uploads_->conflicts().size(), 1u);
  const std::string copy = uploads_->conflicts()[0].copy;
  {
    const auto held = table_.hold();
    EXPECT_EQ(file->item->itemVersion().contentVersion, theirs->itemVersion().contentVersion);
    struct stat attributes {};
    table_.fill(held, *file, attributes);
    EXPECT_EQ(attributes.st_size, 6);
  }
  ASSERT_NE(child(copy), nullptr);
  EXPECT_NE(inodeOf(copy), file->inode);
  std::lock_guard guard(mutex_);
  EXPECT_NE(std::find(invalidated_.begin(), invalidated_.end(), copy), invalidated_.end())
      << "the kernel hears of the copy's name";
}

}  // namespace
}  // namespace corvane::framework::mount

// The bounded cache and pinning under a real mount, a cache emptied under it,
// what a removal leaves in it and what a sparse file takes in it. What stayed
// in the cache is read back with the host gone: a file still cached reads, an
// evicted one cannot be fetched again.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

class MountCache : public MountEndToEnd {
 protected:
  std::unique_ptr<ChildProcess> startHost(const std::string& domain) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{CORVANE_VFS_HOST, "--peer", domain + "=" + share().string()},
        ChildOptions{.errorFile = dir_.path() / "host.log"});
  }
  std::string fp() const { return std::string("\"") + CORVANE_FP + "\""; }
  // Every file below `folder` (by default all the caches, the mount's and the
  // host's) but the host's log.
  std::vector<std::filesystem::path> cachedFiles(std::filesystem::path folder = {}) const {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (folder.empty()) folder = dir_.path() / "cache";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
      if (entry.is_regular_file(error) && entry.path().extension() != ".log") files.push_back(entry.path());
    }
    return files;
  }
  // Whether the mount of `domain` keeps `contents` in its cache.
  bool cached(const std::string& domain, const std::string& contents) const {
    for (const auto& file : cachedFiles(dir_.path() / "cache" / "corvane" / domain)) {
      if (readFile(file) == contents) return true;
    }
    return false;
  }
};

std::uint64_t allocated(const std::filesystem::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? std::uint64_t(st.st_blocks) * 512 : UINT64_MAX;
}

TEST_F(MountCache, EvictionTakesOnlyClosedUnpinnedFilesAndPinsOutliveARemount) {
  for (const char* name : {"f1", "f2", "f3", "f4", "p/p1", "p/p2"})
    writeFile(share() / name, std::string(100000, *name));
  auto host = startHost("lru");
  {
    // Room for the two pinned files and a little more.
    Mount mount(dir_.path(), "lru", {"--no-host", "--cache-max", "250K", "--cache-min-free", "0"});
    ASSERT_TRUE(mount.ready()) << mount.log();
    // clang-format off
    ASSERT_EQ(mount.shell(fp() + R"sh( pin p 2> "$WORK/pin.err"; grep -q '2/2 files' "$WORK/pin.err"
        exec 3< f1; cat f2 f3 f4 > /dev/null; ls > /dev/null
        kill -KILL )sh" + std::to_string(host->pid()) + R"sh(
        cat p/p1 p/p2 f1 > /dev/null; exec 3<&-; ! cat f2 2>/dev/null; ! cat f3 2>/dev/null)sh", share()), 0) << mount.log();
    // clang-format on
    host->stop(SIGKILL);
  }
  // The pins are still there for the next mount: they survive this one's eviction too.
  host = startHost("lru");
  Mount again(dir_.path(), "lru", {"--no-host", "--cache-max", "250K", "--cache-min-free", "0"});
  ASSERT_TRUE(again.ready()) << again.log();
  // clang-format off
  EXPECT_EQ(again.shell("cat f2 f3 f4 > /dev/null; kill -KILL " + std::to_string(host->pid()) + R"sh(
      [ "$(head -c 2 p/p1)" = pp ]; cat p/p2 > /dev/null; ! cat f2 2>/dev/null
      )sh" + fp() + R"sh( unpin p; )sh" + fp() + " unpin p/p1 2> \"$WORK/unpin.err\"; grep -q 'was not pinned' \"$WORK/unpin.err\"",
                        share()), 0) << again.log();
  // clang-format on
}

TEST_F(MountCache, APinnedFolderOfFiftyFilesReadsWithTheHostStoppedAlsoWhatChangedOnThePeer) {
  for (int i = 0; i < 50; ++i) writeFile(share() / "album" / ("photo" + std::to_string(i)), std::string(i * 997, 'x'));
  auto host = startHost("offline");
  Mount mount(dir_.path(), "offline", {"--no-host"});
  ASSERT_TRUE(mount.ready()) << mount.log();
  ASSERT_EQ(mount.shell(fp() + R"sh( pin album 2> "$WORK/pin.err"; grep -q '50/50 files' "$WORK/pin.err")sh", share()),
            0)
      << mount.log() << readFile(dir_.path() / "work" / "pin.err");
  // Changed on the peer: the mount fetches the new contents of its own accord.
  writeFile(share() / "album" / "photo7", std::string(12345, 'n'));
  EXPECT_TRUE(eventually([&] {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(dir_.path() / "cache" / "corvane" / "offline", error)) {
      if (entry.is_regular_file(error) && entry.file_size(error) == 12345) return true;
    }
    return false;
  })) << mount.log()
      << readFile(dir_.path() / "run" / "corvane" / "mounts" / "offline.changes.jsonl");
  // pin --list tells a pin all of whose files read offline from one that
  // lost a file (its cached copy removed behind the mount's back).
  // clang-format off
  EXPECT_EQ(mount.shell("kill -STOP " + std::to_string(host->pid()) + R"sh(
      for f in "$SHARE"/album/*; do cmp "$f" "album/${f##*/}"; done
      )sh" + fp() + R"sh( pin --list > "$WORK/list"
      grep -qx "$PWD/album	complete: 50 files, 1.2 MiB" "$WORK/list"
      find "$WORK/../cache/corvane/offline" -type f -size 12345c -delete
      if )sh" + fp() + R"sh( pin --list > "$WORK/list"; then exit 1; fi
      grep -q "^$PWD/album	incomplete: 1 of 50 files not here ($PWD/album/photo7: " "$WORK/list")sh", share()), 0)
      << mount.log() << readFile(dir_.path() / "work" / "list");
  // clang-format on
  host->stop(SIGKILL);
}

TEST_F(MountCache, SparseFilesStaySparseOnThePeerAndInTheCaches) {
  constexpr std::uint64_t kSize = 64 << 20;
  const auto peer = share() / "peer.bin";
  ASSERT_EQ(run({"sh", "-c", "truncate -s 64M \"$0\"; printf 0123456789 >> \"$0\"", peer.string()}), 0);
  if (allocated(peer) > kSize / 16) GTEST_SKIP() << "the file system here keeps no holes";
  Mount mount(dir_.path(), "sparse", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  // Fetched, edited (a working copy made from the cached copy), and made here.
  // clang-format off
  ASSERT_EQ(mount.shell(R"sh(cmp "$SHARE/peer.bin" peer.bin
      printf x >> peer.bin; sync peer.bin; cmp "$SHARE/peer.bin" peer.bin
      truncate -s 64M new.bin; printf 0123456789 >> new.bin; sync new.bin; cmp "$SHARE/new.bin" new.bin)sh",
                        share()), 0) << mount.log();
  // clang-format on
  std::vector<std::filesystem::path> copies = {peer, share() / "new.bin"};
  for (const auto& file : cachedFiles()) {
    if (std::filesystem::file_size(file) >= kSize) copies.push_back(file);
  }
  EXPECT_GE(copies.size(), 4u) << "the mount's cache and the host's hold copies too";
  for (const auto& file : copies) EXPECT_LT(allocated(file), kSize / 16) << file;
}

TEST_F(MountCache, ARemovedFileAndOneReplacedByARenameLeaveTheCache) {
  writeFile(share() / "gone.txt", std::string(3000, 'g'));
  writeFile(share() / "replaced-queued.txt", std::string(3001, 'q'));
  writeFile(share() / "replaced-stored.txt", std::string(3002, 's'));
  Mount mount(dir_.path(), "dropped", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const std::vector<std::string> contents = {std::string(3000, 'g'), std::string(3001, 'q'), std::string(3002, 's'),
                                             "made here"};
  // clang-format off
  ASSERT_EQ(mount.shell(R"sh(cat gone.txt replaced-queued.txt replaced-stored.txt > /dev/null
      printf 'made here' > mine.txt; sync mine.txt)sh", share()), 0) << mount.log();
  // clang-format on
  for (const auto& text : contents) ASSERT_TRUE(cached("dropped", text)) << text.substr(0, 10);
  // One rename replaces a file with one not sent yet, the other with one the peer has.
  // clang-format off
  ASSERT_EQ(mount.shell(R"sh(rm gone.txt mine.txt
      echo new > new1; mv new1 replaced-queued.txt
      echo new > new2; sync new2; mv new2 replaced-stored.txt)sh", share()), 0) << mount.log();
  // clang-format on
  for (const auto& text : contents) EXPECT_FALSE(cached("dropped", text)) << text.substr(0, 10);
}

TEST_F(MountCache, CachesEmptiedUnderARunningMountAreMadeAgain) {
  // What a cache cleaner does to ~/.cache: the mount's and the host's folders go.
  Mount mount(dir_.path(), "cleaned", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  // clang-format off
  EXPECT_EQ(mount.shell(R"sh(cat a.txt > /dev/null; rm -rf "$WORK/../cache/corvane"
      [ "$(cat a.txt)" = hello ]; [ "$(cat sub/b.txt)" = x ])sh", share()), 0) << mount.log();
  // clang-format on
}

}  // namespace
}  // namespace corvane::testing

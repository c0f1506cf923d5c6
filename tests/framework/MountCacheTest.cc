// The bounded cache and pinning under a real mount, and a cache emptied under
// it. What stayed in the cache is read back with the host gone: a file still
// cached reads, an evicted one cannot be fetched again.
#include <string>

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
};

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
  // clang-format off
  EXPECT_EQ(mount.shell("kill -STOP " + std::to_string(host->pid()) + R"sh(
      for f in "$SHARE"/album/*; do cmp "$f" "album/${f##*/}"; done)sh", share()), 0) << mount.log();
  // clang-format on
  host->stop(SIGKILL);
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

// Faults and hostile input under a real mount: a host that takes requests and
// never answers, a disk that fills, as the App Group container (staging and the
// event log) and as the share itself, and names and links meant to reach out of
// the share. Each asserts that the mount stays usable, that nothing already on
// the share or outside it is lost, and that no staged or partial file is left.
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

// A small tmpfs at `where` for as long as the test runs; only root may mount one.
struct Case {
  const char* name;
  const char* script;
};

class Tmpfs {
 public:
  Tmpfs(const std::filesystem::path& where, const std::string& size) : where_(where) {
    std::filesystem::create_directories(where);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool resize(const std::string& size) const {
    return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
  }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
};

// Every name under `folder`, so that a staged or partial file left behind shows.
std::set<std::string> namesUnder(const std::filesystem::path& folder) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    out.insert(std::filesystem::relative(entry.path(), folder).string());
  }
  return out;
}

class MountFaults : public MountEndToEnd {
 protected:
  void SetUp() override {
    MountEndToEnd::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  }
};

TEST_F(MountEndToEnd, AHostThatNeverAnswersLeavesTheRestWorkingAndUnmountStillWorks) {
  writeFile(share() / "later.txt", "not read before\n");
  const auto hostLog = dir_.path() / "host.log";
  {
    ChildProcess host({CORVANE_VFS_HOST, "--peer", "silent=" + share().string()}, ChildOptions{.errorFile = hostLog});
    Mount mount(dir_.path(), "silent", {"--no-host", "--drain-timeout", "1"});
    ASSERT_TRUE(mount.ready()) << mount.log();
    ASSERT_EQ(mount.shell(R"sh(ls sub > /dev/null; [ "$(cat a.txt)" = hello ])sh", share()), 0) << mount.log();

    // Stopped, the host keeps its connection and reads nothing: every request
    // goes unanswered. A read that needs it waits (in openat); what the mount
    // already knows answers meanwhile, a close is journaled, and an unmount
    // from another terminal ends the mount without sitting out the call's
    // deadline. The waiting read fails then, or once the host is found
    // unresponsive if that comes first.
    const auto started = std::chrono::steady_clock::now();
    // clang-format off
    EXPECT_EQ(mount.shell("kill -STOP " + std::to_string(host.pid()) + R"sh(
        cat later.txt > /dev/null 2> "$WORK/err" & reader=$!
        for i in $(seq 1200); do grep -q '^257 ' /proc/$reader/syscall 2>/dev/null && break; sleep 0.05; done
        [ "$(cat a.txt)" = hello ]; ls sub | grep -qx b.txt; [ "$(stat -c %s a.txt)" = 6 ]
        echo queued > q.txt; [ "$(cat q.txt)" = queued ]
        ")sh" + CORVANE_FP + R"sh(" unmount "$PWD"
        ! wait $reader)sh", share()), 0) << mount.log();
    // clang-format on
    std::printf("unmount with a silent host took %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    EXPECT_EQ(mount.stop(0), 0) << mount.log();
    EXPECT_NE(mount.log().find(" not sent; "), std::string::npos) << mount.log();
    host.stop(SIGKILL);
  }
  // What was closed meanwhile goes with the next mount.
  ChildProcess host({CORVANE_VFS_HOST, "--peer", "silent=" + share().string()}, ChildOptions{.errorFile = hostLog});
  Mount again(dir_.path(), "silent", {"--no-host"});
  ASSERT_TRUE(again.ready()) << again.log();
  EXPECT_TRUE(eventually([&] { return readFile(share() / "q.txt") == "queued\n"; })) << again.log();
}

TEST_F(MountFaults, AFullContainerHoldsUploadsBackUntilThereIsRoomAndLeavesNoStagedFile) {
  // Staging and the event log both live in the App Group container.
  Tmpfs container(dir_.path() / "groups", "1m");
  ASSERT_TRUE(container.mounted());
  const std::string source = (dir_.path() / "payload").string();
  ASSERT_EQ(run({"sh", "-c", "head -c 524288 /dev/urandom > " + source}), 0);
  Mount mount(dir_.path(), "full", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const auto filler = dir_.path() / "groups" / "filler";
  ASSERT_NE(run({"sh", "-c", "head -c 2097152 /dev/zero > " + filler.string() + " 2>/dev/null"}), 0);

  // The close is journaled outside the container; fsync sees the attempt
  // fail; the mount answers on.
  // clang-format off
  EXPECT_EQ(mount.shell("cp " + source + R"sh( payload; cmp payload )sh" + source + R"sh(
      ! sync payload 2>/dev/null; [ ! -e "$SHARE/payload" ]; [ "$(cat a.txt)" = hello ])sh", share()), 0)
      << mount.log();
  // clang-format on
  std::filesystem::remove(filler);
  EXPECT_TRUE(eventually([&] {
    return run({"cmp", "-s", source, (share() / "payload").string()}) == 0;
  })) << mount.log();
  EXPECT_EQ(mount.shell("sync payload", share()), 0);
  for (const auto& name : namesUnder(dir_.path() / "groups")) {
    EXPECT_EQ(name.find("UploadStaging/"), std::string::npos) << name << " left in the container";
  }
}

TEST_F(MountFaults, AFullShareRefusesTheUploadKeepsThePeersFileAndSendsItOnceThereIsRoom) {
  const auto tight = dir_.path() / "tight";
  Tmpfs disk(tight, "1m");
  ASSERT_TRUE(disk.mounted());
  writeFile(tight / "kept.bin", std::string(300000, 'k'));
  const std::string source = (dir_.path() / "bigger").string();
  ASSERT_EQ(run({"sh", "-c", "head -c 900000 /dev/urandom > " + source}), 0);
  Mount mount(dir_.path(), "tight", {"--share", tight.string()});
  ASSERT_TRUE(mount.ready()) << mount.log();

  // The new contents do not fit beside the old ones: the peer refuses, fsync
  // says why, and the peer's file stays whole.
  // clang-format off
  EXPECT_EQ(mount.shell("cp " + source + R"sh( kept.bin
      ! sync kept.bin 2> "$WORK/err"; grep -q 'No space left on device' "$WORK/err")sh", tight), 0)
      << mount.log() << readFile(dir_.path() / "work" / "err");
  // clang-format on
  EXPECT_EQ(readFile(tight / "kept.bin"), std::string(300000, 'k'));
  EXPECT_EQ(namesUnder(tight), std::set<std::string>{"kept.bin"});

  ASSERT_TRUE(disk.resize("8m"));
  EXPECT_TRUE(eventually([&] {
    return run({"cmp", "-s", source, (tight / "kept.bin").string()}) == 0;
  })) << mount.log();
  EXPECT_EQ(namesUnder(tight), std::set<std::string>{"kept.bin"});
}

// Through the kernel no name can hold "/" or be ".."; what is left to try is
// the share's own links that lead out of it, odd but legal names, and paths
// longer than the host's PATH_MAX.
TEST_F(MountEndToEnd, HostileNamesAndLinksOutOfTheShareLeaveEverythingOutsideUntouched) {
  const auto outside = dir_.path() / "outside";
  writeFile(outside / "secret.txt", "top secret");
  std::filesystem::create_symlink("/etc", share() / "etcLink");
  std::filesystem::create_symlink("../outside", share() / "up");
  std::filesystem::create_symlink("../outside/secret.txt", share() / "fileLink");
  Mount mount(dir_.path(), "hostile", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  // clang-format off
  const Case kHostile[] = {
      {"a link is a file holding its text", R"sh([ "$(cat etcLink)" = /etc ]; [ -f up ]; ! ls up/ 2>/dev/null)sh"},
      {"nothing is reached through a link", R"sh(! cat up/secret.txt 2>/dev/null; ! (echo x > up/new) 2>/dev/null
        ! mkdir etcLink/corvane-d 2>/dev/null)sh"},
      {"writing a link replaces the link", R"sh(echo mine > fileLink; sync fileLink; [ ! -L "$SHARE/fileLink" ]
        [ "$(cat "$SHARE/fileLink")" = mine ])sh"},
      {"odd names keep their bytes", R"sh(for n in -rf '$(id)' 'a\b' '...' ' lead' 'trail ' '*' $'tab\tname'; do
        echo "$n" > "./$n"; sync -- "./$n"; [ "$(cat -- "$SHARE/$n")" = "$n" ]; done)sh"},
      {"another user cannot even list the mount", R"sh([ "$(id -u)" != 0 ] ||
        ! setpriv --reuid=65534 --regid=65534 --clear-groups ls "$PWD" > /dev/null 2>&1)sh"},
      {"a path longer than PATH_MAX stays inside or fails", R"sh(name=$(printf 'p%.0s' $(seq 200)); d=deep
        for i in $(seq 24); do d="$d/$name"; done
        if mkdir -p "$d" 2>/dev/null; then [ -d "$SHARE/$d" ]; fi; ls > /dev/null)sh"},
  };
  // clang-format on
  for (const Case& c : kHostile) EXPECT_EQ(mount.shell(c.script, share()), 0) << c.name << "\n" << mount.log();
  EXPECT_EQ(readFile(outside / "secret.txt"), "top secret");
  EXPECT_EQ(namesUnder(outside), std::set<std::string>{"secret.txt"});
  EXPECT_FALSE(std::filesystem::exists("/etc/corvane-d"));
}

TEST_F(MountEndToEnd, AStopSignalTakenByAnyOfItsThreadsStopsTheMount) {
  Mount mount(dir_.path(), "signal", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  // The kernel hands a process's signal to any thread that does not block it;
  // one that is not reading kernel requests (here the link's listener) must
  // stop the mount all the same.
  const auto tasks = std::filesystem::path("/proc") / std::to_string(mount.pid()) / "task";
  pid_t other = 0;
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    if (readFile(task.path() / "comm") == "xpc.listener\n") other = std::stoi(task.path().filename().string());
  }
  ASSERT_NE(other, 0);
  ASSERT_EQ(::syscall(SYS_tgkill, mount.pid(), other, SIGTERM), 0);
  EXPECT_EQ(mount.stop(0), 0) << mount.log();  // waits for the exit itself
}

}  // namespace
}  // namespace corvane::testing

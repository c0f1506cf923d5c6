// corvane-fp mount driven by the programs people use on a folder: a real FUSE
// mount, a real corvane-vfs-host, real ls/cp/git/tar/rsync. One mount serves the
// whole table; each case is a shell script that checks its own outcome against
// the share folder, and the mount's log is printed when one fails.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

// The event log's records of `event`, from every log under the test's App Group root.
std::vector<nlohmann::json> eventRecords(const std::filesystem::path& groups, const std::string& event) {
  std::vector<nlohmann::json> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(groups)) {
    if (entry.path().parent_path().filename() != "Logs") continue;
    std::istringstream lines(readFile(entry.path()));
    for (std::string line; std::getline(lines, line);) {
      auto record = nlohmann::json::parse(line);
      if (record.value("event", "") == event) found.push_back(std::move(record));
    }
  }
  return found;
}

struct Case {
  const char* name;
  const char* script;
};

// In order: later cases use what earlier ones made.
// The scripts are shell, laid out as shell.
// clang-format off
const Case kCases[] = {
    {"ls, find and stat see the share", R"sh(ls -la | grep -q ' a.txt$'; find . -type f | grep -qx './sub/b.txt'
      [ "$(stat -c '%s %F' a.txt)" = "6 regular file" ]; [ "$(stat -c %F sub)" = directory ])sh"},
    {"cat reads a file", R"sh([ "$(cat a.txt)" = hello ])sh"},
    {"cp of 10 MiB in and out keeps every byte", R"sh(head -c 10485760 /dev/urandom > "$WORK/big"; cp "$WORK/big" big
      cmp big "$WORK/big"; sync big; cmp "$SHARE/big" "$WORK/big"; cp big "$WORK/back"; cmp "$WORK/back" "$WORK/big")sh"},
    {"mkdir and mv within a folder",
     R"sh(mkdir d; echo hi > d/f; mv d/f d/g; sync d/g; [ "$(cat "$SHARE/d/g")" = hi ]; [ ! -e "$SHARE/d/f" ])sh"},
    {"mv across folders copies and deletes",
     R"sh(mkdir e; mv d/g e/; sync e/g; [ "$(cat "$SHARE/e/g")" = hi ]; [ ! -e "$SHARE/d/g" ])sh"},
    {"a file removed while open is not brought back by its close",
     R"sh(exec 3> gone.txt; echo x >&3; rm gone.txt; echo y >&3; exec 3>&-; [ ! -e "$SHARE/gone.txt" ]; [ ! -e gone.txt ])sh"},
    {"rm removes from the share", R"sh(rm e/g; [ ! -e "$SHARE/e/g" ]; [ ! -e e/g ])sh"},
    {"rmdir of a non-empty folder is ENOTEMPTY",
     R"sh(! rmdir sub 2> "$WORK/err"; grep -q 'Directory not empty' "$WORK/err"
      [ -f "$SHARE/sub/b.txt" ])sh"},
    {"mv onto an existing name replaces it", R"sh(echo one > r1; echo two > r2; mv r1 r2; [ "$(cat r2)" = one ]
      [ "$(cat "$SHARE/r2")" = one ]; [ ! -e "$SHARE/r1" ]; [ -z "$(ls -A "$SHARE" | grep corvane-replaced || true)" ])sh"},
    {"sed -i edits in place", R"sh(printf 'abc\n' > s.txt; sed -i s/b/B/ s.txt; [ "$(cat "$SHARE/s.txt")" = aBc ])sh"},
    {"git init, add, commit and log", R"sh(mkdir repo; cd repo; git init -q .; echo a > f; git add f
      git -c user.email=t@example.com -c user.name=t commit -qm first; git log --oneline | grep -q first
      find . -type f -exec sync {} +; git -C "$SHARE/repo" fsck --full --strict 2>&1
      git -C "$SHARE/repo" log --oneline | grep -q first; [ "$(git -C "$SHARE/repo" show HEAD:f)" = a ])sh"},
    {"tar -x of 200 files in and tar -c back out",
     R"sh(mkdir -p "$WORK/src/t"; for i in $(seq 200); do echo "$i" > "$WORK/src/t/f$i"; done
      tar -C "$WORK/src" -cf "$WORK/in.tar" t; tar -xf "$WORK/in.tar"; sync t/*; tar -cf "$WORK/out.tar" t
      mkdir "$WORK/x"; tar -C "$WORK/x" -xf "$WORK/out.tar"; diff -r "$WORK/src/t" "$WORK/x/t"; diff -r "$WORK/src/t" "$SHARE/t")sh"},
    {"rsync -a in, then nothing left to do, then back out", R"sh(rsync -a "$WORK/src/" rs/
      [ -z "$(rsync -an --itemize-changes "$WORK/src/" rs/)" ]; rsync -a rs/ "$WORK/rsback/"; diff -r "$WORK/src" "$WORK/rsback"
      find rs -type f -exec sync {} +; diff -r "$WORK/src" "$SHARE/rs")sh"},
    {"symlinks, hard links and special files are refused",
     R"sh(! ln -s a.txt link 2>/dev/null; ! ln a.txt hard 2>/dev/null
      ! mkfifo fifo 2>/dev/null; [ ! -e "$SHARE/link" ]; [ ! -e "$SHARE/hard" ]; [ ! -e "$SHARE/fifo" ])sh"},
    {"a file added to the share shows up", R"sh(echo new > "$SHARE/added.txt"
      for i in $(seq 600); do [ "$(cat added.txt 2>/dev/null)" = new ] && exit 0; sleep 0.1; done; exit 1)sh"},
    {"a file changed on the share reads anew", R"sh(cat a.txt > /dev/null; echo changed > "$SHARE/a.txt"
      for i in $(seq 600); do [ "$(cat a.txt)" = changed ] && exit 0; sleep 0.1; done; exit 1)sh"},
    {"a file removed from the share goes", R"sh(rm "$SHARE/sub/b.txt"
      for i in $(seq 600); do [ ! -e sub/b.txt ] && exit 0; sleep 0.1; done; exit 1)sh"},
};
// clang-format on

// The host's process for a --no-host mount, started and stopped by the test.
std::unique_ptr<ChildProcess> hostFor(const std::string& domain, const std::filesystem::path& share,
                                      const std::filesystem::path& log) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{CORVANE_VFS_HOST, "--peer", domain + "=" + share.string()},
      ChildOptions{.errorFile = log});
}

nlohmann::json statusOf(const std::filesystem::path& dir) {
  const std::string file = (dir / "status.json").string();
  if (run({"sh", "-c", std::string(CORVANE_FP) + " status --json > " + file}) != 0) return {};
  auto listed = nlohmann::json::parse(readFile(file), nullptr, false);
  return listed.is_array() && listed.size() == 1 ? listed[0] : nlohmann::json{};
}

TEST_F(MountEndToEnd, ProgramsWorkOnTheMountAsOnAFolder) {
  Mount mount(dir_.path(), "e2e", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  ASSERT_TRUE(eventually([&] { return !statusOf(dir_.path()).is_null(); }));
  ChildProcess watch({CORVANE_FP, "watch", "--domain", "e2e"}, ChildOptions{.pipeOutput = true});
  for (const auto& c : kCases) {
    EXPECT_EQ(mount.shell(c.script, share()), 0) << c.name << "\n" << mount.log();
  }
  // watch prints what the poller applied from the peer's side.
  bool sawAdded = false;
  while (auto line = watch.readLine()) {
    auto change = nlohmann::json::parse(*line, nullptr, false);
    if (change.value("change", "") == "added" && change.value("path", "") == "/added.txt") {
      sawAdded = change["contentVersion"].is_string();
      break;
    }
  }
  EXPECT_TRUE(sawAdded);
  const std::string status = (dir_.path() / "status.json").string();
  ASSERT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " status --json > " + status}), 0);
  auto listed = nlohmann::json::parse(readFile(status));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["domain"], "e2e");
  EXPECT_GT(listed[0]["hostPid"].get<int>(), 0);

  EXPECT_EQ(mount.stop(), 0) << mount.log();
  EXPECT_NE(run({"mountpoint", "-q", mount.path().string()}), 0);
  // Every request the kernel made went through the extension, which traced it.
  std::set<std::string> operations;
  for (const auto& record : eventRecords(dir_.path() / "groups", "mount.request_start")) {
    operations.insert(record.value("operation", ""));
  }
  for (const char* operation : {"file_provider.enumerate_items", "file_provider.fetch_contents", "file_provider.create",
                                "file_provider.modify", "file_provider.delete", "file_provider.enumerate_changes"}) {
    EXPECT_TRUE(operations.count(operation)) << operation;
  }
  // Every folder made for caches, state, sockets and the App Group container is the owner's alone.
  for (const char* root : {"cache/corvane", "state/corvane", "run/corvane", "groups"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path() / root)) {
      if (!entry.is_directory()) continue;
      const auto mode = entry.status().permissions() & std::filesystem::perms::all;
      EXPECT_EQ(mode, std::filesystem::perms::owner_all) << entry.path();
    }
  }
}

// Each refusal is exit status 2 and one line saying why, before anything is made.
TEST(MountRefusals, BadDomainsAndMountPointsAreRefusedWithStatus2) {
  if (auto why = fuseMissing(); !why.empty()) GTEST_SKIP() << why;  // that refusal would come first
  TempDir dir;
  writeFile(dir.path() / "full" / "x", "");
  writeFile(dir.path() / "file", "");
  std::filesystem::create_directories(dir.path() / "empty");
  const struct {
    std::string domain, mountPoint, message;
  } kRefusals[] = {
      {"../outside", "empty", "is not a usable folder name"},
      {"a/b", "empty", "is not a usable folder name"},
      {"a b", "empty", "is not a usable folder name"},
      {"host", "empty", "taken by the host's own folders"},
      {"peer", "missing", "No such file or directory"},
      {"peer", "file", "not a folder"},
      {"peer", "full", "not empty"},
  };
  for (const auto& refusal : kRefusals) {
    const std::string err = (dir.path() / "err").string();
    const std::string script = std::string("\"") + CORVANE_FP + "\" mount --no-host --domain '" + refusal.domain +
                               "' '" + (dir.path() / refusal.mountPoint).string() + "' 2> '" + err + "'";
    EXPECT_EQ(run({"sh", "-c", script}), 2) << refusal.domain << " " << refusal.mountPoint;
    EXPECT_NE(readFile(err).find(refusal.message), std::string::npos) << readFile(err);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "outside"));
}

TEST_F(MountEndToEnd, AHostThatGoesAwayFailsReadsAtOnceAndCachedFoldersStayReadable) {
  writeFile(share() / "later.txt", "not read before\n");
  ChildProcess host({CORVANE_VFS_HOST, "--peer", "offline=" + share().string()},
                    ChildOptions{.errorFile = dir_.path() / "host.log"});
  Mount mount(dir_.path(), "offline", {"--no-host"});
  ASSERT_TRUE(mount.ready()) << mount.log();
  ASSERT_EQ(mount.shell(R"sh(ls sub > /dev/null; [ "$(cat a.txt)" = hello ])sh", share()), 0) << mount.log();

  // The host dies while a read waits for its fetch (the host is stopped so the
  // request is surely in flight: the reader sits in openat): the read fails, the
  // mount answers on, and what it listed and fetched before stays readable.
  const std::string hostPid = std::to_string(host.pid());
  // clang-format off
  EXPECT_EQ(mount.shell("kill -STOP " + hostPid + R"sh(
      cat later.txt > /dev/null 2> "$WORK/err" & reader=$!
      # 257: openat on x86-64
      for i in $(seq 1200); do grep -q '^257 ' /proc/$reader/syscall 2>/dev/null && break; sleep 0.05; done
      kill -KILL )sh" + hostPid + R"sh(
      ! wait $reader; grep -q 'Input/output error' "$WORK/err"
      ls sub | grep -qx b.txt; [ "$(cat a.txt)" = hello ]
      ! mkdir offline-folder 2>/dev/null)sh",
                        share()),
            0)
      << mount.log();
  // clang-format on
  host.stop(SIGKILL);
  EXPECT_EQ(mount.stop(), 0) << mount.log();
}

TEST_F(MountEndToEnd, AFileClosedJustBeforeAKill9ReachesTheShareWithTheNextMount) {
  const std::string source = (dir_.path() / "big").string();
  ASSERT_EQ(run({"sh", "-c", "head -c 20971520 /dev/urandom > " + source}), 0);
  {
    Mount mount(dir_.path(), "crash", {"--share", share().string()});
    ASSERT_TRUE(mount.ready()) << mount.log();
    ASSERT_EQ(run({"cp", source, (mount.path() / "big").string()}), 0);
    mount.stop(SIGKILL);
  }
  // Ready only once the journal was replayed.
  Mount again(dir_.path(), "crash", {"--share", share().string()});
  ASSERT_TRUE(again.ready()) << again.log();
  EXPECT_EQ(run({"cmp", source, (share() / "big").string()}), 0) << again.log();
  EXPECT_EQ(run({"cmp", source, (again.path() / "big").string()}), 0);
}

// The peer keeps upload times; the dates rsync, tar and touch set are the mount's to keep.
// Files only: a folder shows the peer's date, which moves with every upload
// that lands in it, some of them after rsync set the folder's.
TEST_F(MountEndToEnd, DatesProgramsSetHoldAcrossARemountUntilThePeerChangesTheFile) {
  const char* kMake = R"sh(mkdir -p "$WORK/src/d"; for i in 1 2 3; do echo "$i" > "$WORK/src/d/f$i"; done
    touch -d 2020-01-02T03:04:05 "$WORK/src/d/f1"; touch -d 2019-05-06T07:08:09.5 "$WORK/src/d/f2")sh";
  {
    Mount mount(dir_.path(), "dates", {"--share", share().string()});
    ASSERT_TRUE(mount.ready()) << mount.log();
    ASSERT_EQ(mount.shell(std::string(kMake) + "\nrsync -a \"$WORK/src/\" in/; touch -d 2018-01-01 in/d/f3", share()), 0);
    EXPECT_EQ(mount.stop(), 0) << mount.log();
  }
  Mount again(dir_.path(), "dates", {"--share", share().string()});
  ASSERT_TRUE(again.ready()) << again.log();
  EXPECT_EQ(again.shell(R"sh([ "$(stat -c %Y in/d/f1)" = "$(stat -c %Y "$WORK/src/d/f1")" ]
    [ "$(date -d @"$(stat -c %Y in/d/f3)" +%F)" = 2018-01-01 ]; touch -d 2018-01-01 "$WORK/src/d/f3"
    [ -z "$(rsync -an --omit-dir-times --itemize-changes "$WORK/src/" in/)" ]
    echo changed > "$SHARE/in/d/f2"
    for i in $(seq 600); do [ "$(cat in/d/f2)" = changed ] && break; sleep 0.1; done
    [ "$(rsync -an --omit-dir-times --itemize-changes "$WORK/src/" in/ | awk '{print $2}')" = d/f2 ])sh",
                        share()),
            0)
      << again.log();
}

TEST_F(MountEndToEnd, WritesWhileTheHostIsDownAreQueuedAndSentWhenItIsBack) {
  const auto hostLog = dir_.path() / "host.log";
  auto host = hostFor("queue", share(), hostLog);
  {
    Mount mount(dir_.path(), "queue", {"--no-host", "--drain-timeout", "1"});
    ASSERT_TRUE(mount.ready()) << mount.log();
    ASSERT_EQ(mount.shell("ls > /dev/null", share()), 0);
    host->stop(SIGKILL);
    // Offline: a close succeeds at once and the file is there to read; what
    // needs the peer's answer (fsync, mkdir, a rename) fails at once.
    // clang-format off
    EXPECT_EQ(mount.shell(R"sh(echo one > one.txt; ls | grep -qx one.txt; [ "$(cat one.txt)" = one ]
        ! sync one.txt 2>/dev/null; ! mkdir newdir 2>/dev/null; ! mv one.txt moved.txt 2>/dev/null
        [ ! -e "$SHARE/one.txt" ])sh", share()), 0) << mount.log();
    // clang-format on
    // Right after the close, status has it queued. The shell's redirection
    // closes the file once before echo writes, so one or two uploads are queued;
    // the file's first is tried first, and one tried stays until it lands.
    nlohmann::json status = statusOf(dir_.path());
    EXPECT_FALSE(status["queued"].empty()) << status.dump();
    ASSERT_TRUE(eventually([&] {
      status = statusOf(dir_.path());
      return !status["queued"].empty() && status["queued"].front()["attempts"].get<int>() >= 1;
    })) << status.dump();
    for (const auto& upload : status["queued"]) EXPECT_EQ(upload["path"], "/one.txt");

    host = hostFor("queue", share(), hostLog);
    const auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return readFile(share() / "one.txt") == "one\n"; })) << mount.log();
    std::printf("one.txt reached the share %.2f s after the host started again\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count());

    // A stop with an upload the peer cannot take waits out --drain-timeout and says so.
    host->stop(SIGKILL);
    ASSERT_EQ(mount.shell("echo two > two.txt", share()), 0);
    EXPECT_EQ(mount.stop(SIGINT), 0) << mount.log();
    EXPECT_NE(mount.log().find(" not sent; "), std::string::npos) << mount.log();
  }
  // What was never sent is not forgotten unasked.
  const std::string refused = (dir_.path() / "forget.err").string();
  EXPECT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " forget queue 2> " + refused}), 1);
  EXPECT_NE(readFile(refused).find(" not sent:\n"), std::string::npos) << readFile(refused);
  EXPECT_NE(readFile(refused).find("\n  /two.txt\n"), std::string::npos) << readFile(refused);
  host = hostFor("queue", share(), hostLog);
  Mount again(dir_.path(), "queue", {"--no-host"});
  ASSERT_TRUE(again.ready()) << again.log();
  EXPECT_EQ(readFile(share() / "two.txt"), "two\n") << again.log();
}

// A stopped host keeps its link open and reads nothing from it. Requests that
// need it are answered within seconds of the first one waiting (never the
// calls' 60 s deadline), status says so, and new ones are not even sent. A
// mkdir that failed so is carried out once the host goes on, and an rm whose
// check of the peer's file failed never was: the mount then shows what the
// peer has, not what the failures suggested.
TEST_F(MountEndToEnd, AStoppedHostIsFoundWithinSecondsAndOnceItGoesOnTheMountShowsThePeersState) {
  Mount mount(dir_.path(), "stopped", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const auto groups = dir_.path() / "groups";
  auto begun = [&](const std::string& operation) {
    const auto records = eventRecords(groups, "mount.request_start");
    return std::count_if(records.begin(), records.end(),
                         [&](const auto& record) { return record.value("operation", "") == operation; });
  };
  // Once the poller asks for changes, the first walk is over: a folder made on
  // the peer after it is known by name only, and listing it needs the host.
  ASSERT_TRUE(eventually([&] { return begun("file_provider.enumerate_changes") > 0; })) << mount.log();
  writeFile(share() / "later" / "inside.txt", "x\n");
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(mount.path() / "later"); })) << mount.log();
  ASSERT_EQ(mount.shell("ls sub > /dev/null", share()), 0);
  nlohmann::json status;
  ASSERT_TRUE(eventually([&] { return (status = statusOf(dir_.path())).value("hostPid", 0) > 0; }));
  const std::string hostPid = std::to_string(status.value("hostPid", 0));

  // Each command runs in the background and leaves its exit status and error
  // beside it. The mkdir goes first, the rm once the extension took the
  // mkdir's request, the rest once it took the rm's first (a lookup of the
  // file, which a delete makes before it is sent): both reach the host before
  // it can be found unresponsive.
  auto inBackground = [&](const std::string& name, const std::string& command) {
    return mount.shell(
        "(set +e; " + command + " > /dev/null 2> \"$WORK/" + name + ".err\"; echo $? > \"$WORK/" + name + ".rc\") &",
        share());
  };
  const auto creates = begun("file_provider.create"), lookups = begun("file_provider.item");
  ASSERT_EQ(run({"kill", "-STOP", hostPid}), 0);
  ASSERT_EQ(inBackground("mkdir", "mkdir made"), 0);
  ASSERT_TRUE(eventually([&] { return begun("file_provider.create") > creates; }));
  ASSERT_EQ(inBackground("rm", "rm sub/b.txt"), 0);
  ASSERT_TRUE(eventually([&] { return begun("file_provider.item") > lookups; }));
  ASSERT_EQ(inBackground("cat", "cat a.txt"), 0);
  ASSERT_EQ(inBackground("ls", "ls later"), 0);
  // Far below the calls' deadline, however slow the machine.
  const auto work = dir_.path() / "work";
  for (const char* name : {"mkdir", "rm", "cat", "ls"}) {
    EXPECT_TRUE(
        eventually([&] { return !readFile(work / (std::string(name) + ".rc")).empty(); }, std::chrono::seconds(45)))
        << name << " is still waiting\n"
        << mount.log();
    EXPECT_NE(readFile(work / (std::string(name) + ".rc")), "0\n") << name;
    EXPECT_NE(readFile(work / (std::string(name) + ".err")).find("Input/output error"), std::string::npos)
        << name << ": " << readFile(work / (std::string(name) + ".err"));
  }
  EXPECT_TRUE(eventually([&] { return (status = statusOf(dir_.path()))["linkPhase"] == "unresponsive"; }))
      << status.dump();
  // Refused without being sent, and a close is journaled as ever; its upload
  // fails until the host is back.
  EXPECT_EQ(mount.shell("! mkdir refused 2> /dev/null; echo queued > queued.txt", share()), 0) << mount.log();
  ASSERT_TRUE(eventually([&] {
    status = statusOf(dir_.path());
    return !status["queued"].empty() && status["queued"].front()["attempts"].get<int>() >= 1;
  })) << status.dump();
  EXPECT_FALSE(status["queued"].front()["lastError"].get<std::string>().empty()) << status.dump();

  ASSERT_EQ(run({"kill", "-CONT", hostPid}), 0);
  EXPECT_TRUE(eventually([&] { return (status = statusOf(dir_.path()))["linkPhase"] == "ready"; })) << status.dump();
  // What the host did late shows on the mount; what it was never sent is not on the peer.
  EXPECT_TRUE(eventually([&] { return std::filesystem::is_directory(share() / "made"); }));
  EXPECT_TRUE(eventually([&] { return std::filesystem::is_directory(mount.path() / "made"); })) << mount.log();
  EXPECT_TRUE(std::filesystem::exists(share() / "sub" / "b.txt"));
  EXPECT_FALSE(std::filesystem::exists(share() / "refused"));
  EXPECT_EQ(mount.shell(R"sh(ls | grep -qx made; ls sub | grep -qx b.txt; ls later | grep -qx inside.txt
      [ "$(cat a.txt)" = hello ])sh",
                        share()),
            0)
      << mount.log();
  // Change checks go on, the upload lands, and status forgets its error.
  writeFile(share() / "peer-made.txt", "2\n");
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(mount.path() / "peer-made.txt"); })) << mount.log();
  EXPECT_TRUE(eventually([&] { return readFile(share() / "queued.txt") == "queued\n"; })) << mount.log();
  EXPECT_TRUE(eventually([&] { return (status = statusOf(dir_.path()))["queued"].empty(); })) << status.dump();
  EXPECT_EQ(mount.stop(), 0) << mount.log();
}

TEST_F(MountEndToEnd, AFileChangedOnBothSidesKeepsBothVersions) {
  Mount mount(dir_.path(), "conflict", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  // clang-format off
  // Each file is opened for writing here (the shell's redirection already
  // closes it once, which sends it), then changed on the share, and written
  // here only once the mount applied that change: the host must know of it
  // before the upload asks. CHANGED waits for that line of the watch feed.
  const std::string changed = "changed() { for i in $(seq 1200); do grep -qs \"\\\"path\\\":\\\"$1\\\"\" "
                              "\"$XDG_RUNTIME_DIR/corvane/mounts/conflict.changes.jsonl\" && return; sleep 0.1; done; "
                              "return 1; }\n";
  EXPECT_EQ(mount.shell(changed + R"sh(exec 3> a.txt; sync a.txt; echo theirs > "$SHARE/a.txt"; changed /a.txt
      echo mine >&3; exec 3>&-; sync a.txt; [ "$(cat "$SHARE/a.txt")" = theirs ]
      copy=$(ls "$SHARE" | grep -E '^a \(conflict [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}\.[0-9]{2}\.[0-9]{2}\)\.txt$')
      [ "$(cat "$SHARE/$copy")" = mine ]; [ "$(cat "$copy")" = mine ]; [ "$(cat a.txt)" = theirs ])sh", share()), 0)
      << mount.log();
  // Deleted on the peer while edited here: the edit comes back as the copy.
  EXPECT_EQ(mount.shell(changed + R"sh(exec 3> sub/b.txt; sync sub/b.txt; rm "$SHARE/sub/b.txt"; changed /sub/b.txt
      echo kept >&3; exec 3>&-
      for i in $(seq 600); do [ "$(cat "$SHARE"/sub/b\ \(conflict* 2>/dev/null)" = kept ] && break; sleep 0.1; done
      [ "$(cat "$SHARE"/sub/b\ \(conflict*)" = kept ]; [ ! -e "$SHARE/sub/b.txt" ])sh", share()), 0) << mount.log();
  // clang-format on
  nlohmann::json status;
  ASSERT_TRUE(eventually([&] { return (status = statusOf(dir_.path()))["conflicts"].size() == 2; })) << status.dump();
  EXPECT_EQ(status["conflicts"][0]["path"], "/a.txt");
  // Each copy is a warning of this peer's, in the log's own levels.
  const auto copies = eventRecords(dir_.path() / "groups", "mount.conflict_copy");
  ASSERT_EQ(copies.size(), 2u);
  for (const auto& record : copies) {
    EXPECT_EQ(record["level"], "WARN") << record.dump();
    EXPECT_EQ(record["peer"], "conflict") << record.dump();
  }

  // A second mount of the domain is refused at once, saying where it is.
  std::filesystem::create_directories(dir_.path() / "again");
  const std::string err = (dir_.path() / "again.err").string();
  EXPECT_EQ(run({"sh", "-c",
                 std::string(CORVANE_FP) + " mount --domain conflict --no-host " + (dir_.path() / "again").string() +
                     " 2> " + err}),
            2);
  EXPECT_NE(readFile(err).find("domain conflict is already mounted at " + mount.path().string() + " (pid "),
            std::string::npos)
      << readFile(err);

  // corvane-fp unmount stops the mount from elsewhere, named as tab completion
  // writes it; with everything sent, it says nothing stays.
  const std::string told = (dir_.path() / "unmount.err").string();
  EXPECT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " unmount " + mount.path().string() + "/ 2> " + told}), 0);
  EXPECT_EQ(readFile(told).find(" for the next mount "), std::string::npos) << readFile(told);
  EXPECT_EQ(mount.stop(0), 0) << mount.log();
  EXPECT_NE(run({"mountpoint", "-q", mount.path().string()}), 0);
}

}  // namespace
}  // namespace corvane::testing

// Living with mounts: readiness told to systemd, the service unit, doctor, a
// first run in an empty home, an install, and several domains mounted at once.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

// The next datagram on `fd`, or empty after the last-resort wait.
std::string nextDatagram(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(kLastResort.count())) != 1) return {};
  char buffer[4096];
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

TEST_F(MountEndToEnd, ReadinessAndStoppingAreToldToSystemd) {
  const std::string socketPath = (dir_.path() / "notify").string();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  {
    ScopedEnv notify("NOTIFY_SOCKET", socketPath);
    // The share given as the unit gives it: SOURCE MOUNTPOINT.
    Mount mount(dir_.path(), "notified", {share().string()});
    const std::string ready = nextDatagram(fd);
    EXPECT_NE(ready.find("READY=1"), std::string::npos) << ready;
    // Told only once the folder is there, with the root listed.
    EXPECT_EQ(mount.shell(R"sh(mountpoint -q .; [ "$(ls)" = "$(printf 'a.txt\nsub')" ])sh", share()), 0) << mount.log();
    EXPECT_EQ(mount.stop(SIGTERM), 0);
    EXPECT_NE(nextDatagram(fd).find("STOPPING=1"), std::string::npos);
  }
  ::close(fd);
}

TEST(MountService, InstallServiceWritesAUnitSystemdAccepts) {
  TempDir dir;
  ScopedEnv config("XDG_CONFIG_HOME", (dir.path() / "config").string());
  const auto settings = dir.path() / "config" / "corvane" / "laptop.env";
  EXPECT_EQ(run({CORVANE_FP, "install-service", "bad domain", "--share", dir.path().string()}), 2);
  ASSERT_EQ(run({CORVANE_FP, "install-service", "laptop", "--share", dir.path().string(), "--display-name",
                 "Anna's \"laptop\""}),
            0);
  EXPECT_EQ(readFile(settings).substr(readFile(settings).find('\n') + 1),
            "CORVANE_SHARE=\"" + dir.path().string() + "\"\nCORVANE_DISPLAY_NAME=\"Anna's \\\"laptop\\\"\"\n");
  const std::string unit = readFile(dir.path() / "config" / "systemd" / "user" / "corvane-fp@.service");
  EXPECT_NE(unit.find(std::string("ExecStart=") + CORVANE_FP + " mount --domain %i"), std::string::npos) << unit;
  // Another machine's share: the domain the mount would give it, and how to reach it.
  // The mount's own options go in too, as the mount reads them from there.
  ASSERT_EQ(run({CORVANE_FP, "install-service", "--ssh-command", "ssh -p 2222", "--cache-max", "5G", "me@box:work"}),
            0);
  const std::string remote = readFile(dir.path() / "config" / "corvane" / "box-work.env");
  EXPECT_EQ(remote.substr(remote.find('\n') + 1),
            "CORVANE_SHARE=\"me@box:work\"\nCORVANE_DISPLAY_NAME=\"box-work\"\nCORVANE_SSH_COMMAND=\"ssh -p 2222\"\n"
            "CORVANE_CACHE_MAX=\"5G\"\n");
  EXPECT_EQ(run({CORVANE_FP, "install-service", "laptop", "--ssh-command", "ssh", "--share", dir.path().string()}), 2);

  if (run({"sh", "-c", "command -v systemd-analyze > /dev/null"}) != 0) GTEST_SKIP() << "systemd-analyze is missing";
  // An instance of the template, checked by systemd's own parser: any warning fails.
  writeFile(dir.path() / "corvane-fp@laptop.service", unit);
  ::mkdir((dir.path() / "run").c_str(), 0700);
  const std::string out = (dir.path() / "verify.out").string();
  EXPECT_EQ(run({"sh", "-c",
                 "XDG_RUNTIME_DIR='" + (dir.path() / "run").string() + "' MANPATH='" + CORVANE_BUILD_DIR +
                     "/packaging/man' systemd-analyze --user verify '" +
                     (dir.path() / "corvane-fp@laptop.service").string() + "' > '" + out + "' 2>&1"}),
            0);
  EXPECT_EQ(readFile(out), "");
}

// Folders under `root` (itself included) that anyone but the owner may enter.
std::vector<std::string> foldersOpenToOthers(const std::filesystem::path& root) {
  using std::filesystem::perms;
  std::vector<std::string> open;
  auto check = [&](const std::filesystem::path& folder, std::filesystem::file_status status) {
    if ((status.permissions() & (perms::group_all | perms::others_all)) != perms::none) open.push_back(folder);
  };
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) return open;
  check(root, std::filesystem::status(root));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
    if (entry.is_directory()) check(entry.path(), entry.status());
  }
  return open;
}

// What a user's session has and a fresh machine's may not: with these unset,
// every folder comes from HOME alone.
struct FreshHome {
  explicit FreshHome(const std::filesystem::path& home) : home_("HOME", home.string()) {
    for (const char* name : {"XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                             "XDG_RUNTIME_DIR", "CORVANE_APP_GROUPS"}) {
      unset_.emplace_back(name, std::nullopt);
    }
  }
  ScopedEnv home_;
  std::list<ScopedEnv> unset_;
};

// The main job on a fresh machine: the sample share mounts, everything made
// under the home is the owner's alone from the start, and doctor is content.
TEST(MountService, AFirstRunInAnEmptyHomeMountsAndDoctorPasses) {
  if (auto why = fuseMissing(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  FreshHome fresh(dir.path());
  {
    Mount mount(dir.path(), "sample", {});
    ASSERT_TRUE(mount.ready()) << mount.log();
    EXPECT_EQ(mount.shell("ls | grep -q .", dir.path()), 0) << mount.log();
    const std::string out = (dir.path() / "doctor.txt").string();
    EXPECT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " doctor > " + out}), 0) << readFile(out);
    EXPECT_EQ(readFile(out).find("domain host"), std::string::npos) << readFile(out);
    EXPECT_EQ(mount.stop(SIGTERM), 0) << mount.log();
  }
  for (const char* made : {".local", ".cache"}) {
    EXPECT_EQ(foldersOpenToOthers(dir.path() / made), std::vector<std::string>{}) << made;
  }
}

// `cmake --install` into a prefix: the programs, the unit naming the installed
// corvane-fp, the docs; doctor runs from there, and install-service run from
// the build folder prefers the installed program.
TEST(MountService, AnInstallRunsFromItsPrefix) {
  TempDir dir;
  const auto prefix = dir.path() / "prefix";
  ASSERT_EQ(run({"sh", "-c",
                 std::string("'") + CORVANE_CMAKE + "' --install '" + CORVANE_BUILD_DIR + "' --prefix '" +
                     prefix.string() + "' > '" + (dir.path() / "install.log").string() + "'"}),
            0)
      << readFile(dir.path() / "install.log");
  const auto program = prefix / "bin" / "corvane-fp";
  EXPECT_TRUE(std::filesystem::exists(prefix / "bin" / "corvane-vfs-host"));
  EXPECT_TRUE(std::filesystem::exists(prefix / "share" / "doc" / "corvane" / "write-semantics.md"));
  EXPECT_EQ(run({"sh", "-c", "MANPATH='" + (prefix / "share" / "man").string() + "' man -w corvane-fp > /dev/null"}), 0)
      << "man corvane-fp finds the installed page";
  EXPECT_TRUE(std::filesystem::exists(prefix / "share" / "bash-completion" / "completions" / "corvane-fp"));
  EXPECT_TRUE(std::filesystem::exists(prefix / "share" / "zsh" / "site-functions" / "_corvane-fp"));
  const std::string installedUnit = readFile(prefix / "share" / "systemd" / "user" / "corvane-fp@.service");
  EXPECT_NE(installedUnit.find("ExecStart=" + program.string() + " mount"), std::string::npos) << installedUnit;

  FreshHome fresh(dir.path() / "home");
  // Its own runtime folder: doctor reads every mount's status there, and the
  // first-run case beside this one mounts in the shared default.
  ScopedEnv runtime("XDG_RUNTIME_DIR", (dir.path() / "run").string());
  if (fuseMissing().empty()) {
    EXPECT_EQ(run({program.string(), "doctor"}), 0);
  }
  ScopedEnv path("PATH", (prefix / "bin").string() + ":" + std::getenv("PATH"));
  ASSERT_EQ(run({CORVANE_FP, "install-service", "laptop", "--share", dir.path().string()}), 0);
  const std::string unit = readFile(dir.path() / "home" / ".config" / "systemd" / "user" / "corvane-fp@.service");
  EXPECT_NE(unit.find("ExecStart=" + program.string() + " mount"), std::string::npos) << unit;
  EXPECT_EQ(foldersOpenToOthers(dir.path() / "home" / ".config"), std::vector<std::string>{});
}

TEST_F(MountEndToEnd, DoctorNamesAnOpenRuntimeFolderAndAMountWithoutAHost) {
  // Waiting for a host, it has made its runtime folder and told its status.
  Mount mount(dir_.path(), "lonely", {"--no-host"}, false);
  const std::string out = (dir_.path() / "doctor.json").string();
  ASSERT_TRUE(eventually([&] {
    return run({"sh", "-c", std::string(CORVANE_FP) + " status | grep -q lonely"}) == 0;
  })) << mount.log();
  ASSERT_EQ(::chmod((dir_.path() / "run" / "corvane").c_str(), 0755), 0);
  EXPECT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " doctor --json > " + out}), 1);
  const auto checks = nlohmann::json::parse(readFile(out));
  std::map<std::string, nlohmann::json> byName;
  for (const auto& check : checks) byName[check["check"]] = check;
  EXPECT_FALSE(byName["runtime folder"]["ok"].get<bool>());
  EXPECT_NE(byName["runtime folder"]["fix"].get<std::string>().find("chmod 700"), std::string::npos);
  EXPECT_FALSE(byName["domain lonely"]["ok"].get<bool>()) << checks.dump();
  EXPECT_TRUE(byName["fuse"]["ok"].get<bool>());
}

TEST_F(MountEndToEnd, StatusSeesEveryDomainAndUnmountAllStopsThem) {
  Mount first(dir_.path() / "one", "one", {"--share", share().string()});
  Mount second(dir_.path() / "two", "two", {"--share", share().string()});
  ASSERT_TRUE(first.ready() && second.ready()) << first.log() << second.log();
  const std::string out = (dir_.path() / "status.json").string();
  ASSERT_EQ(run({"sh", "-c", std::string(CORVANE_FP) + " status --json > " + out}), 0);
  std::set<std::string> domains;
  for (const auto& status : nlohmann::json::parse(readFile(out))) domains.insert(status["domain"]);
  EXPECT_EQ(domains, (std::set<std::string>{"one", "two"}));
  EXPECT_EQ(run({CORVANE_FP, "unmount", "--all"}), 0);
  EXPECT_EQ(first.stop(0), 0);
  EXPECT_EQ(second.stop(0), 0);
  EXPECT_NE(run({"mountpoint", "-q", first.path().string()}), 0);
  EXPECT_NE(run({"mountpoint", "-q", second.path().string()}), 0);

  // A domain forgotten is gone from doctor; the other stays.
  EXPECT_EQ(run({CORVANE_FP, "forget", "one"}), 0);
  EXPECT_EQ(run({CORVANE_FP, "forget", "one"}), 1) << "nothing is kept for it now";
  ChildProcess doctor({CORVANE_FP, "doctor"}, ChildOptions{.pipeOutput = true});
  const std::string checks = doctor.readAll();
  EXPECT_EQ(checks.find("domain one:"), std::string::npos) << checks;
  EXPECT_NE(checks.find("domain two: not mounted"), std::string::npos) << checks;
}

}  // namespace
}  // namespace corvane::testing

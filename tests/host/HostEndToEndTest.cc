// Two real processes: this one runs the domain manager with its extension, the
// other is corvane-vfs-host serving a folder. The host is killed outright, the
// extension records the link down, and a restarted host is activated again and
// serves requests.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "extension/FileProviderExtension.h"
#include "framework/DomainManager.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

extern char** environ;

namespace corvane {
namespace {

using Phase = FileProviderXpcConnectionState::Phase;
using testing::eventually;
using testing::ScopedEnv;

class HostEndToEndTest : public testing::EventLogTest {
 protected:
  void TearDown() override {
    for (pid_t pid : running_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    EventLogTest::TearDown();
  }

  // Starts corvane-vfs-host for peer "p1" over share(); its standard error goes to hostLog().
  pid_t startHost() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, hostLog().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string program = CORVANE_VFS_HOST;
    std::string peer = "p1=" + share().string();
    char* argv[] = {program.data(), const_cast<char*>("--peer"), peer.data(), nullptr};
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    if (spawned == 0) running_.push_back(pid);
    return pid;
  }
  // Signals `pid` and returns its exit status (-1 when it did not exit normally).
  int stopHost(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::erase(running_, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::filesystem::path share() const { return dir_.path() / "share"; }
  std::filesystem::path hostLog() const { return dir_.path() / "host.log"; }

  std::size_t events(const std::string& name, const std::string& reason = "") {
    std::size_t n = 0;
    for (const std::string& line : lines()) {
      auto record = nlohmann::json::parse(line);
      n += record["event"] == name && (reason.empty() || record["reason"] == reason);
    }
    return n;
  }

  static std::string stat(FileProviderExtension& extension, const std::string& path) {
    auto proxy = extension.acquireProxy();
    if (!proxy) return "no proxy";
    auto answer = std::make_shared<testing::Waiter<std::string>>();
    proxy->statItem("p1", path, "flow", [answer](auto entry, auto error) {
      answer->set(entry ? entry->name() + " " + std::to_string(entry->size())
                        : error ? error->localizedDescription() : "nil");
    });
    return answer->wait().value_or("no answer");
  }

  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (dir_.path() / "run").string()};
  ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  std::vector<pid_t> running_;
};

TEST_F(HostEndToEndTest, KilledHostIsRecordedDownAndARestartedHostServesAgain) {
  testing::writeFile(share() / "a.txt", "alpha");
  framework::DomainManager manager;
  auto added = manager.addDomain({"p1", "Peer One"});
  ASSERT_TRUE(added.ok());
  auto extension = std::dynamic_pointer_cast<FileProviderExtension>(*added);
  const auto ready = [&] { return extension->linkStateForTesting().phase == Phase::ready; };

  pid_t host = startHost();
  ASSERT_TRUE(eventually(ready, std::chrono::seconds(30))) << testing::readFile(hostLog());
  EXPECT_EQ(stat(*extension, "/a.txt"), "a.txt 5");

  EXPECT_EQ(stopHost(host, SIGKILL), -1);
  ASSERT_TRUE(eventually([&] { return events("mount.xpc_down") == 1; }));
  EXPECT_EQ(events("mount.xpc_down", "interrupted"), 1u);
  EXPECT_EQ(extension->acquireProxy(), nullptr);

  testing::writeFile(share() / "b.txt", "bravo!");  // changed while no host runs
  host = startHost();
  ASSERT_TRUE(eventually(ready, std::chrono::seconds(30))) << testing::readFile(hostLog());
  EXPECT_EQ(extension->linkStateForTesting().generation, 2u);
  EXPECT_EQ(stat(*extension, "/b.txt"), "b.txt 6");

  EXPECT_EQ(stopHost(host, SIGTERM), 0) << "a terminated host ends cleanly";
  std::string log = testing::readFile(hostLog());
  EXPECT_NE(log.find("corvane-vfs-host: peer \"p1\": activated\n"), std::string::npos) << log;
  EXPECT_NE(log.find("corvane-vfs-host: stopping ("), std::string::npos) << log;
  ASSERT_TRUE(eventually([&] { return events("mount.xpc_down") == 2; }));
}

}  // namespace
}  // namespace corvane

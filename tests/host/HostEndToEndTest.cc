// Two real processes: this one runs the domain manager with its extension, the
// other is corvane-vfs-host serving a folder. The host is killed outright, the
// extension records the link down, and a restarted host is activated again and
// serves requests.
#include <gtest/gtest.h>

#include <algorithm>

#include "extension/FileProviderExtension.h"
#include "framework/DomainManager.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

namespace corvane {
namespace {

using Phase = FileProviderXpcConnectionState::Phase;
using testing::eventually;
using testing::ScopedEnv;

class HostEndToEndTest : public testing::EventLogTest {
 protected:
  // Starts corvane-vfs-host for peer "p1" over share(); its standard error goes to hostLog().
  std::unique_ptr<testing::ChildProcess> startHost() {
    auto host = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{CORVANE_VFS_HOST, "--peer", "p1=" + share().string()},
        testing::ChildOptions{.errorFile = hostLog()});
    EXPECT_TRUE(host->started());
    return host;
  }

  std::filesystem::path share() const { return dir_.path() / "share"; }
  std::filesystem::path hostLog() const { return dir_.path() / "host.log"; }

  std::size_t events(const std::string& name, const std::string& reason = "") {
    return std::ranges::count_if(records(name),
                                 [&](const auto& record) { return reason.empty() || record["reason"] == reason; });
  }

  static std::string stat(FileProviderExtension& extension, const std::string& path) {
    auto proxy = extension.acquireProxy();
    if (!proxy) return "no proxy";
    auto answer = std::make_shared<testing::Waiter<std::string>>();
    proxy->statItem("p1", path, "flow", [answer](auto entry, auto error) {
      answer->set(entry   ? entry->name() + " " + std::to_string(entry->size())
                  : error ? error->localizedDescription()
                          : "nil");
    });
    return answer->wait().value_or("no answer");
  }

  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (dir_.path() / "run").string()};
  ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
  ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
};

TEST_F(HostEndToEndTest, KilledHostIsRecordedDownAndARestartedHostServesAgain) {
  testing::writeFile(share() / "a.txt", "alpha");
  framework::DomainManager manager;
  auto added = manager.addDomain({"p1", "Peer One"});
  ASSERT_TRUE(added.ok());
  auto extension = std::dynamic_pointer_cast<FileProviderExtension>(*added);
  const auto ready = [&] { return extension->linkState().phase == Phase::ready; };

  auto host = startHost();
  ASSERT_TRUE(eventually(ready)) << testing::readFile(hostLog());
  EXPECT_EQ(stat(*extension, "/a.txt"), "a.txt 5");

  EXPECT_EQ(host->stop(SIGKILL), -1);
  ASSERT_TRUE(eventually([&] { return events("mount.xpc_down") == 1; }));
  EXPECT_EQ(events("mount.xpc_down", "interrupted"), 1u);
  EXPECT_EQ(extension->acquireProxy(), nullptr);

  testing::writeFile(share() / "b.txt", "bravo!");  // changed while no host runs
  std::filesystem::remove(hostLog());               // what follows is the second host's alone
  host = startHost();
  ASSERT_TRUE(eventually(ready)) << testing::readFile(hostLog());
  EXPECT_EQ(extension->linkState().generation, 2u);
  EXPECT_EQ(stat(*extension, "/b.txt"), "b.txt 6");

  // The extension can be ready and serving before the host's own thread has
  // taken the activation's reply in; stopping earlier would abandon it.
  const auto activated = [&] {
    return testing::readFile(hostLog()).find("corvane-vfs-host: peer \"p1\": activated\n") != std::string::npos;
  };
  EXPECT_TRUE(eventually(activated)) << testing::readFile(hostLog());
  EXPECT_EQ(host->stop(SIGTERM), 0) << "a terminated host ends cleanly";
  std::string log = testing::readFile(hostLog());
  EXPECT_NE(log.find("corvane-vfs-host: stopping ("), std::string::npos) << log;
  ASSERT_TRUE(eventually([&] { return events("mount.xpc_down") == 2; }));
}

}  // namespace
}  // namespace corvane

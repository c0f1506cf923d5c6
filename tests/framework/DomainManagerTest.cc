// The domain manager's service lookup, from this process and from a host in
// another process.
#include "framework/DomainManager.h"

#include <gtest/gtest.h>

#include "extension/FileProviderExtension.h"
#include "platform/fileprovider/Manager.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

namespace corvane::framework {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class DomainManagerTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (dir_.path() / "run").string()};
  ScopedEnv groups_{"CORVANE_APP_GROUPS", (dir_.path() / "groups").string()};
};

// Runs the fake host and returns what it printed and its exit status.
std::pair<std::string, int> runFakeHost(const std::string& domain, const std::string& peer) {
  testing::ChildProcess host({CORVANE_FAKE_VFS_HOST, domain, peer}, {.pipeOutput = true});
  std::string printed = host.readAll();
  return {printed, host.wait()};
}

TEST_F(DomainManagerTest, HostInAnotherProcessLooksUpActivatesAndIsAnsweredNil) {
  DomainManager manager;
  auto added = manager.addDomain({"peer/one", "Peer"});  // a "/" in the id must not reach the socket path
  ASSERT_TRUE(added.ok()) << added.error().localizedDescription();
  auto extension = std::dynamic_pointer_cast<FileProviderExtension>(*added);
  ASSERT_NE(extension, nullptr);

  auto [printed, status] = runFakeHost("peer/one", "peer/one");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(printed, "nil\n");
  EXPECT_EQ(extension->linkState().generation, 1u);

  auto [refused, refusedStatus] = runFakeHost("peer/one", "someone-else");
  EXPECT_EQ(refusedStatus, 0);
  EXPECT_EQ(refused, "error com.vandrel.corvane.vfs.xpc -16 File Provider domain does not match requested peer\n");
}

TEST_F(DomainManagerTest, LookupOfUnknownServicesAndDomains) {
  DomainManager manager;
  ASSERT_TRUE(manager.addDomain({"p1", ""}).ok());
  EXPECT_FALSE(manager.addDomain({"p1", ""}).ok()) << "a domain is added once";

  auto found = fileprovider::Manager::getServiceSync("p1", "io.corvane.mac.vfs-host");
  ASSERT_TRUE(found.ok());
  EXPECT_TRUE(found->isValid());

  auto unknownService = fileprovider::Manager::getServiceSync("p1", "io.example.other");
  ASSERT_FALSE(unknownService.ok());
  EXPECT_EQ(unknownService.error().domain(), "NSFileProviderErrorDomain");
  EXPECT_EQ(unknownService.error().code(), -2001);

  auto unknownDomain = fileprovider::Manager::getServiceSync("p9", "io.corvane.mac.vfs-host");
  ASSERT_FALSE(unknownDomain.ok());
  EXPECT_EQ(unknownDomain.error().domain(), "NSCocoaErrorDomain");

  manager.removeDomain("p1");
  EXPECT_EQ(manager.extension("p1"), nullptr);
  EXPECT_FALSE(fileprovider::Manager::getServiceSync("p1", "io.corvane.mac.vfs-host").ok());
  EXPECT_TRUE(manager.addDomain({"p1", ""}).ok()) << "a removed domain can come back";
}

TEST_F(DomainManagerTest, SocketPathsStayInTheDomainsFolder) {
  for (const std::string& id : std::vector<std::string>{"p1", "../../etc", "a/b", std::string(300, 'x')}) {
    auto path = fileprovider::Manager::domainSocketPath(id);
    EXPECT_EQ(path.parent_path(), dir_.path() / "run" / "corvane" / "domains") << id;
    EXPECT_LT(path.string().size(), 108u) << id;
  }
}

}  // namespace
}  // namespace corvane::framework

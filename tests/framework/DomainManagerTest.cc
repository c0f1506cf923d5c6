// The domain manager's service lookup, from this process and from a host in
// another process.
#include "framework/DomainManager.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "extension/FileProviderExtension.h"
#include "platform/fileprovider/Manager.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

extern char** environ;

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
  int out[2];
  if (::pipe(out) != 0) return {"pipe failed", -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string program = CORVANE_FAKE_VFS_HOST;
  char* argv[] = {program.data(), const_cast<char*>(domain.c_str()), const_cast<char*>(peer.c_str()), nullptr};
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return {"spawn failed", -1};
  }
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
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
  EXPECT_EQ(extension->linkStateForTesting().generation, 1u);

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

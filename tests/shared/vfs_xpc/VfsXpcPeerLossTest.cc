// The host is another process, killed while calls are outstanding.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <future>

#include "platform/xpc/Listener.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"
#include "tests/platform/xpc/LinkPair.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

extern char** environ;

namespace corvane {
namespace {

class TakeOne final : public xpc::ListenerDelegate {
 public:
  explicit TakeOne(std::function<void(xpc::Connection&)> configure) : configure_(std::move(configure)) {}
  bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& c) override {
    configure_(*c);
    c->resume();
    accepted_.set_value(c);
    return true;
  }
  std::future<std::shared_ptr<xpc::Connection>> accepted() { return accepted_.get_future(); }

 private:
  std::function<void(xpc::Connection&)> configure_;
  std::promise<std::shared_ptr<xpc::Connection>> accepted_;
};

TEST(VfsXpcPeerLoss, AHostKilledMidCallFailsEachOutstandingCallOnceThenInterruptsThenInvalidates) {
  corvane::testing::TempDir runtime;
  corvane::testing::ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().string());
  xpc::testing::Recorder events;
  auto listener = xpc::Listener::anonymous();
  auto delegate = std::make_shared<TakeOne>([&](xpc::Connection& c) {
    c.setRemoteObjectInterface(VfsXpcInterfaceBuilder::createInterface());
    c.setInterruptionHandler([&] { events.add("interrupted"); });
    c.setInvalidationHandler([&] { events.add("invalidated"); });
  });
  auto accepted = delegate->accepted();
  listener->setDelegate(delegate);
  listener->resume();

  std::string endpoint = listener->endpoint().text();
  char* argv[] = {const_cast<char*>(CORVANE_SILENT_VFS_HOST), endpoint.data(), nullptr};
  pid_t host = 0;
  ASSERT_EQ(::posix_spawn(&host, CORVANE_SILENT_VFS_HOST, nullptr, nullptr, argv, environ), 0);
  ASSERT_EQ(accepted.wait_for(testing::kLastResort), std::future_status::ready);
  auto connection = accepted.get();

  auto vfs = connection->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
      [&](const foundation::Error& e) { events.add(e.domain() + " " + std::to_string(e.code())); });
  vfs->statItem("p1", "/a", "f1", [&](auto, auto) { events.add("reply"); });
  vfs->listDirectory("p1", "/", "f2", [&](auto, auto) { events.add("reply"); });
  vfs->uploadFile("p1", "/s", "/d", "f3", [&](auto) { events.add("reply"); });
  // The host handles calls in order, so this answer means it holds the three above.
  std::promise<void> pinged;
  vfs->ping("p1", 1, [&](auto) { pinged.set_value(); });
  ASSERT_EQ(pinged.get_future().wait_for(testing::kLastResort), std::future_status::ready);

  ::kill(host, SIGKILL);
  int status = 0;
  ::waitpid(host, &status, 0);
  ASSERT_TRUE(events.waitFor(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(events.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4097", "NSCocoaErrorDomain 4097",
                                                       "NSCocoaErrorDomain 4097", "interrupted", "invalidated"}));
}

}  // namespace
}  // namespace corvane

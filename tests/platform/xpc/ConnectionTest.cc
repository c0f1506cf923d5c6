#include "platform/xpc/Connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/xpc/Listener.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/Socket.h"
#include "tests/platform/xpc/LinkPair.h"
#include "tests/platform/xpc/TestEchoProtocol.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiter.h"

namespace xpc {
namespace {

using testing::EchoService;
using testing::Recorder;
using testing::TestEchoProtocol;

std::shared_ptr<Interface> echoInterface() { return Interface::withProtocol(ProtocolTraits<TestEchoProtocol>::spec()); }

// Exports `service` and expects the echo protocol from the peer.
std::function<void(Connection&)> exporting(std::shared_ptr<EchoService> service) {
  return [service](Connection& c) {
    c.setExportedInterface(echoInterface());
    c.setExportedObject<TestEchoProtocol>(service);
    c.setRemoteObjectInterface(echoInterface());
  };
}

std::string describe(const foundation::Error& e) { return e.domain() + " " + std::to_string(e.code()); }

class ConnectionTest : public ::testing::Test {
 protected:
  corvane::testing::TempDir runtime_;
  corvane::testing::ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path().string()};
};

TEST_F(ConnectionTest, RepliesArriveOnTheCallersConnectionQueue) {
  auto service = std::make_shared<EchoService>();
  auto link =
      testing::connectPair(exporting(service), [](Connection& c) { c.setRemoteObjectInterface(echoInterface()); });
  std::promise<std::pair<std::string, bool>> answer;
  auto proxy = link->client->remoteObjectProxyWithErrorHandler<TestEchoProtocol>(
      [](const foundation::Error& e) { ADD_FAILURE() << describe(e); });
  proxy->echo("héllo", [&](std::optional<std::string> text, std::optional<foundation::Error> error) {
    EXPECT_FALSE(error);
    answer.set_value({text.value_or("<nil>"), link->client->queue().isCurrent()});
  });
  auto [text, onQueue] = answer.get_future().get();
  EXPECT_EQ(text, "héllo");
  EXPECT_TRUE(onQueue);
}

TEST_F(ConnectionTest, BothEndsExportAndCallEachOtherOnOneConnection) {
  auto serverSide = std::make_shared<EchoService>();
  auto clientSide = std::make_shared<EchoService>();
  auto link = testing::connectPair(exporting(serverSide), exporting(clientSide));
  std::promise<std::string> fromServer, fromClient;
  link->client->remoteObjectProxy<TestEchoProtocol>()->echo(
      "to server", [&](std::optional<std::string> t, auto) { fromServer.set_value(t.value_or("")); });
  link->server->remoteObjectProxy<TestEchoProtocol>()->echo(
      "to client", [&](std::optional<std::string> t, auto) { fromClient.set_value(t.value_or("")); });
  EXPECT_EQ(fromServer.get_future().get(), "to server");
  EXPECT_EQ(fromClient.get_future().get(), "to client");
}

TEST_F(ConnectionTest, AMethodWithoutReplyIsDelivered) {
  auto service = std::make_shared<EchoService>();
  auto link =
      testing::connectPair(exporting(service), [](Connection& c) { c.setRemoteObjectInterface(echoInterface()); });
  auto proxy = link->client->remoteObjectProxy<TestEchoProtocol>();
  proxy->notify("first");
  std::promise<void> done;
  proxy->echo("fence", [&](auto, auto) { done.set_value(); });  // calls are delivered in order
  done.get_future().wait();
  EXPECT_EQ(service->notes(), std::vector<std::string>{"first"});
}

TEST_F(ConnectionTest, FramesLargerThanTheSocketCrossBothWaysWhileSmallCallsKeepFlowing) {
  // Megabyte calls and replies cannot be written in one go: the rest waits for the
  // peer to read, while small calls from other threads go on around them.
  auto service = std::make_shared<EchoService>();
  auto link =
      testing::connectPair(exporting(service), [](Connection& c) { c.setRemoteObjectInterface(echoInterface()); });
  auto proxy = link->client->remoteObjectProxyWithErrorHandler<TestEchoProtocol>(
      [](const foundation::Error& e) { ADD_FAILURE() << describe(e); });
  constexpr int kCallers = 3;
  constexpr int kCallsEach = 6;
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      for (int j = 0; j < kCallsEach; ++j) {
        auto text = std::make_shared<const std::string>(
            j % 2 == 0 ? std::string(std::size_t{512} << 10, static_cast<char>('a' + i))
                       : "small " + std::to_string(j));
        proxy->echo(*text, [&, text](std::optional<std::string> echoed, auto) {
          if (echoed != *text) ++wrong;
          ++answered;
        });
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_TRUE(corvane::testing::eventually([&] { return answered == kCallers * kCallsEach; }));
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ConnectionTest, PeerClosingMidCallFailsEachOutstandingCallOnceThenInterruptsThenInvalidates) {
  auto service = std::make_shared<EchoService>();
  Recorder client, server;
  auto link = testing::connectPair(
      [&](Connection& c) {
        exporting(service)(c);
        c.setInterruptionHandler([&] { server.add("interrupted"); });
        c.setInvalidationHandler([&] { server.add("invalidated"); });
      },
      [&](Connection& c) {
        c.setRemoteObjectInterface(echoInterface());
        c.setInterruptionHandler([&] { client.add("interrupted"); });
        c.setInvalidationHandler([&] { client.add("invalidated"); });
      });
  auto proxy = link->client->remoteObjectProxyWithErrorHandler<TestEchoProtocol>(
      [&](const foundation::Error& e) { client.add(describe(e)); });
  for (const char* t : {"a", "b", "c"}) proxy->hold(t, [&](auto, auto) { client.add("reply"); });
  while (service->heldCount() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  link->server->invalidate();
  ASSERT_TRUE(client.waitFor(5));
  ASSERT_TRUE(server.waitFor(1));
  service->answerHeld();  // too late: the link is gone
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4097", "NSCocoaErrorDomain 4097",
                                                       "NSCocoaErrorDomain 4097", "interrupted", "invalidated"}));
  EXPECT_EQ(server.events(), std::vector<std::string>{"invalidated"});

  proxy->echo("after", [&](auto, auto) { client.add("reply"); });
  ASSERT_TRUE(client.waitFor(6));
  EXPECT_EQ(client.events().back(), "NSCocoaErrorDomain 4099");
}

TEST_F(ConnectionTest, InvalidateFailsOutstandingCallsWith4099AndOnlyReportsInvalidation) {
  auto service = std::make_shared<EchoService>();
  Recorder client;
  auto link = testing::connectPair(exporting(service), [&](Connection& c) {
    c.setRemoteObjectInterface(echoInterface());
    c.setInterruptionHandler([&] { client.add("interrupted"); });
    c.setInvalidationHandler([&] { client.add("invalidated"); });
  });
  auto proxy = link->client->remoteObjectProxyWithErrorHandler<TestEchoProtocol>(
      [&](const foundation::Error& e) { client.add(describe(e)); });
  proxy->hold("a", [&](auto, auto) { client.add("reply"); });
  proxy->hold("b", [&](auto, auto) { client.add("reply"); });
  while (service->heldCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  link->client->invalidate();
  link->client->invalidate();
  ASSERT_TRUE(client.waitFor(3));
  proxy->echo("after", [&](auto, auto) { client.add("reply"); });
  ASSERT_TRUE(client.waitFor(4));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4099", "NSCocoaErrorDomain 4099",
                                                       "invalidated", "NSCocoaErrorDomain 4099"}));
}

TEST_F(ConnectionTest, AReplyBlockReleasedUnansweredFailsItsCallAndTheLinkStaysUp) {
  auto service = std::make_shared<EchoService>();
  Recorder client;
  auto link =
      testing::connectPair(exporting(service), [](Connection& c) { c.setRemoteObjectInterface(echoInterface()); });
  auto proxy = link->client->remoteObjectProxyWithErrorHandler<TestEchoProtocol>(
      [&](const foundation::Error& e) { client.add(describe(e)); });
  proxy->hold("dropped", [&](auto, auto) { client.add("reply"); });
  while (service->heldCount() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  service->dropHeld();
  ASSERT_TRUE(client.waitFor(1));
  proxy->echo("still up", [&](std::optional<std::string> t, auto) { client.add(t.value_or("")); });
  ASSERT_TRUE(client.waitFor(2));
  EXPECT_EQ(client.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4099", "still up"}));
}

TEST_F(ConnectionTest, DiallingAnEndpointNobodyListensOnInvalidates) {
  Recorder events;
  auto c = Connection::withEndpoint(*ListenerEndpoint::fromText((runtime_.path() / "nobody.sock").string()));
  c->setRemoteObjectInterface(echoInterface());
  c->setInterruptionHandler([&] { events.add("interrupted"); });
  c->setInvalidationHandler([&] { events.add("invalidated"); });
  auto proxy = c->remoteObjectProxyWithErrorHandler<TestEchoProtocol>([&](const auto& e) { events.add(describe(e)); });
  proxy->echo("lost", [&](auto, auto) { events.add("reply"); });
  c->resume();
  ASSERT_TRUE(events.waitFor(2));
  EXPECT_EQ(events.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4099", "invalidated"}));
}

TEST_F(ConnectionTest, ListenerSocketLivesInAFreshPrivateFolderAndItsEndpointTravelsAsText) {
  auto a = Listener::anonymous();
  auto b = Listener::anonymous();
  ASSERT_FALSE(a->error());
  const std::filesystem::path folder = std::filesystem::path(a->endpoint().socketPath()).parent_path();
  EXPECT_EQ(folder.parent_path(), runtime_.path() / "corvane");
  EXPECT_NE(folder, std::filesystem::path(b->endpoint().socketPath()).parent_path());
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  auto text = a->endpoint().text();
  EXPECT_EQ(ListenerEndpoint::fromText(text), a->endpoint());
  EXPECT_FALSE(ListenerEndpoint::fromText("relative/path"));
  EXPECT_FALSE(ListenerEndpoint::fromText(""));
  EXPECT_FALSE(ListenerEndpoint::fromText("/" + std::string(200, 'x')));

  a.reset();
  EXPECT_FALSE(std::filesystem::exists(folder));
}

// ---- a deliberately misbehaving peer --------------------------------------

wire::Bytes frame(const wire::Bytes& payload) {
  wire::ByteWriter w;
  w.u32(static_cast<std::uint32_t>(payload.size()));
  w.raw(payload.data(), payload.size());
  return w.take();
}

// A call of "echo:reply:" whose single argument is `value` (raw bytes).
wire::Bytes echoCallWith(const wire::Bytes& value) {
  wire::ByteWriter w;
  w.u8(1);
  w.u64(1);
  w.u8(wire::kCallExpectsReply);
  w.text("echo:reply:");
  w.u32(1);
  w.raw(value.data(), value.size());
  return frame(w.bytes());
}

wire::Bytes nestedArrays(int depth) {
  wire::ByteWriter inner;
  inner.u8(static_cast<std::uint8_t>(wire::Tag::array));
  inner.u32(4);
  inner.u32(0);
  wire::Bytes v = inner.bytes();
  for (int i = 1; i < depth; ++i) {
    wire::ByteWriter w;
    w.u8(static_cast<std::uint8_t>(wire::Tag::array));
    w.u32(static_cast<std::uint32_t>(4 + v.size()));
    w.u32(1);
    w.raw(v.data(), v.size());
    v = w.bytes();
  }
  return v;
}

struct HostileFrame {
  const char* name;
  wire::Bytes bytes;
};

std::vector<HostileFrame> hostileFrames() {
  wire::ByteWriter oversized;
  oversized.u32(wire::kMaxFramePayload + 1);
  wire::ByteWriter unsolicitedReply;
  unsolicitedReply.u8(2);
  unsolicitedReply.u64(999);
  unsolicitedReply.u32(0);
  return {
      {"FrameLongerThan64MiB", oversized.bytes()},
      {"EmptyFrame", {0, 0, 0, 0}},
      {"UnknownMessageKind", frame({9, 0, 0, 0, 0, 0, 0, 0, 1})},
      {"UnknownValueTag", echoCallWith({0x7F})},
      {"TextLongerThanTheFrame", echoCallWith({0x04, 0xE8, 0x03, 0, 0, 'a', 'b', 'c'})},
      {"TextThatIsNotUtf8", echoCallWith({0x04, 2, 0, 0, 0, 0xC0, 0x80})},
      {"NestedDeeperThan32", echoCallWith(nestedArrays(33))},
      {"BytesAfterTheLastArgument", echoCallWith({0x00, 0x00})},
      {"ReplyToACallNeverMade", frame(unsolicitedReply.bytes())},
  };
}

class HostileFrameTest : public ConnectionTest, public ::testing::WithParamInterface<HostileFrame> {};

TEST_P(HostileFrameTest, InvalidatesOnlyThatConnection) {
  auto service = std::make_shared<EchoService>();
  Recorder server;
  auto link = testing::connectPair(
      [&](Connection& c) {
        exporting(service)(c);
        c.setInvalidationHandler([&] { server.add("invalidated"); });
      },
      [](Connection& c) { c.setRemoteObjectInterface(echoInterface()); });

  auto raw = socket::connectTo(link->listener->endpoint().socketPath());
  ASSERT_TRUE(raw.ok());
  const auto& bytes = GetParam().bytes;
  ASSERT_EQ(::send(raw->get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(server.waitFor(1));
  // The misbehaving peer is cut off...
  pollfd p{raw->get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(corvane::testing::kLastResort.count())), 1);
  char c;
  EXPECT_EQ(::recv(raw->get(), &c, 1, 0), 0);
  // ...and the well-behaved one is not.
  std::promise<std::string> answer;
  link->client->remoteObjectProxy<TestEchoProtocol>()->echo(
      "fine", [&](std::optional<std::string> t, auto) { answer.set_value(t.value_or("")); });
  EXPECT_EQ(answer.get_future().get(), "fine");
  EXPECT_EQ(server.events().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Connection, HostileFrameTest, ::testing::ValuesIn(hostileFrames()),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- another user ----------------------------------------------------------

class CountingDelegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& c) override {
    ++asked;
    c->resume();
    return true;
  }
  std::atomic<int> asked{0};
};

TEST(ListenerPeerCheck, AConnectionFromAnotherUserIsClosedBeforeTheDelegateSeesIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user (uid 65534)";
  // A folder the other user can reach, so that the refusal comes from the
  // listener's peer check and not from file permissions.
  std::string base = "/tmp/corvane-uid-test-XXXXXX";
  ASSERT_TRUE(::mkdtemp(base.data()));
  ::chmod(base.c_str(), 0711);
  corvane::testing::ScopedEnv xdg("XDG_RUNTIME_DIR", base);
  auto listener = Listener::anonymous();
  ASSERT_FALSE(listener->error());
  auto delegate = std::make_shared<CountingDelegate>();
  listener->setDelegate(delegate);
  listener->resume();
  const std::string path = listener->endpoint().socketPath();
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  ::chmod(folder.parent_path().c_str(), 0711);
  ::chmod(folder.c_str(), 0711);
  ::chmod(path.c_str(), 0777);
  const wire::Bytes call = echoCallWith({0x04, 1, 0, 0, 0, 'x'});

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    auto fd = socket::connectTo(path);
    if (!fd.ok()) ::_exit(2);
    if (::send(fd->get(), call.data(), call.size(), MSG_NOSIGNAL) < 0) ::_exit(0);  // already closed
    pollfd p{fd->get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(corvane::testing::kLastResort.count())) != 1) ::_exit(4);
    char c;
    ::_exit(::recv(fd->get(), &c, 1, 0) <= 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: served, 2: could not connect, 3: setuid failed, 4: not closed";
  EXPECT_EQ(delegate->asked.load(), 0);

  // The same socket still serves its own user.
  auto own = socket::connectTo(path);
  ASSERT_TRUE(own.ok());
  EXPECT_TRUE(corvane::testing::eventually([&] { return delegate->asked.load() != 0; }));
  EXPECT_EQ(delegate->asked.load(), 1);
  listener.reset();
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace xpc

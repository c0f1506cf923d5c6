// The host's protocol adapter over a real connection: every operation's reply as
// the extension receives it, calls for another peer, and each kind of injected
// fault, including closing the connection instead of answering.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "host/HostFaults.h"
#include "host/HostVfsAdapter.h"
#include "host/WorkerPool.h"
#include "platform/xpc/Listener.h"
#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/Waiter.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::readFile;
using corvane::testing::Waiter;
using corvane::testing::writeFile;
using Error = VfsXpcProtocol::Error;
namespace sel = VfsXpcSelectors;

constexpr const char* kPeer = "peer-1";

// Exports an adapter on every connection the listener accepts.
class Exporter final : public xpc::ListenerDelegate {
 public:
  Exporter(std::shared_ptr<HostVfsService> service, std::shared_ptr<WorkerPool> pool,
           std::shared_ptr<HostFaults> faults)
      : service_(std::move(service)), pool_(std::move(pool)), faults_(std::move(faults)) {}
  bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) override {
    HostVfsAdapter::exportOn(connection, service_, pool_, faults_);
    connection->resume();
    return true;
  }

 private:
  std::shared_ptr<HostVfsService> service_;
  std::shared_ptr<WorkerPool> pool_;
  std::shared_ptr<HostFaults> faults_;
};

class HostVfsAdapterTest : public HostFixture {
 public:
  void SetUp() override {
    writeFile(share() / "a.txt", "alpha");
    writeFile(share() / "b.txt", "bravo");
    service_ = open();
    ASSERT_NE(service_, nullptr);
    exporter_ = std::make_shared<Exporter>(service_, pool_, faults_);
    listener_ = xpc::Listener::anonymous();
    listener_->setDelegate(exporter_);
    listener_->resume();
    client_ = xpc::Connection::withEndpoint(listener_->endpoint());
    client_->setRemoteObjectInterface(VfsXpcInterfaceBuilder::createInterface());
    client_->resume();
    proxy_ = client_->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
        [link = linkError_](const foundation::Error& error) { link->set(error); });
  }
  void TearDown() override {
    client_->invalidate();
    listener_->invalidate();
  }

  // Sends one call, `call(proxy, reply)`, and waits for its reply.
  template <typename R, typename Call>
  std::pair<R, Error> ask(Call call) {
    auto answer = std::make_shared<Waiter<std::pair<R, Error>>>();
    call(*proxy_, [answer](R result, Error error) { answer->set({std::move(result), std::move(error)}); });
    auto got = answer->wait();
    EXPECT_TRUE(got.has_value()) << "no reply";
    return got.value_or(std::pair<R, Error>{});
  }
  template <typename Call>
  Error askError(Call call) {
    return ask<bool>(
               [&](VfsXpcProtocol& p, auto reply) { call(p, [reply](Error error) { reply(true, std::move(error)); }); })
        .second;
  }

  // Each operation's whole answer as text, so that a case compares in one line.
  std::string statText(const std::string& path, const std::string& peer = kPeer) {
    auto [entry, error] = ask<std::shared_ptr<const VfsFileEntryDto>>(
        [&](VfsXpcProtocol& p, auto reply) { p.statItem(peer, path, "flow", reply); });
    return render(entry) + " " + render(error);
  }
  std::string listText(const std::string& path) {
    auto [entries, error] = ask<VfsXpcProtocol::Entries>(
        [&](VfsXpcProtocol& p, auto reply) { p.listDirectory(kPeer, path, "flow", reply); });
    if (!entries) return render(error);
    std::string out;
    for (const auto& entry : *entries) out += render(entry) + ";";
    return out;
  }
  std::string tokenText() {
    auto [token, error] = ask<std::optional<std::uint64_t>>(
        [](VfsXpcProtocol& p, auto reply) { p.getCurrentToken(kPeer, "flow", reply); });
    return token ? std::to_string(*token) : render(error);
  }
  std::string changesText(const std::string& path, std::uint64_t since) {
    auto [result, error] = ask<std::shared_ptr<const VfsChangesResultDto>>(
        [&](VfsXpcProtocol& p, auto reply) { p.readChanges(kPeer, path, since, "flow", reply); });
    if (!result) return render(error);
    std::string out;
    for (const auto& c : result->changes()) {
      out += std::string(c->isRemoved() ? "-" : "+") + "[" + render(c->entry()) + "|" +
             c->removedName().value_or("nil") + "] ";
    }
    return out + std::to_string(result->newToken());
  }
  std::string fetchText(const std::string& path) {
    auto [url, error] = ask<std::optional<xpc::FileURL>>(
        [&](VfsXpcProtocol& p, auto reply) { p.fetchFileContents(kPeer, path, "flow", reply); });
    return url ? url->path : render(error);
  }
  template <typename Call>
  std::string errorText(Call call) {
    return render(askError(call));
  }

  static std::string render(const std::shared_ptr<const VfsFileEntryDto>& e) {
    if (!e) return "nil";
    return e->name() + (e->isDir() ? "/" : "") + " " + std::to_string(e->size()) + " " +
           std::to_string(e->modifiedMs());
  }
  static std::string render(const Error& error) {
    if (!error) return "nil";
    const std::string* text = error->stringForKey(kVfsErrorCodeKey);
    return error->domain() + " " + std::to_string(error->code()) + " " + (text ? *text : "-");
  }

  std::shared_ptr<HostVfsService> service_;
  std::shared_ptr<WorkerPool> pool_ = std::make_shared<WorkerPool>(2);
  std::shared_ptr<HostFaults> faults_ = std::make_shared<HostFaults>();
  std::shared_ptr<Exporter> exporter_;
  std::shared_ptr<xpc::Listener> listener_;
  std::shared_ptr<xpc::Connection> client_;
  std::shared_ptr<VfsXpcProtocol> proxy_;
  std::shared_ptr<Waiter<foundation::Error>> linkError_ = std::make_shared<Waiter<foundation::Error>>();
};

constexpr const char* kHost = "com.vandrel.corvane.vfs.xpc ";

TEST_F(HostVfsAdapterTest, EveryOperationIsAnsweredThroughTheConnection) {
  const std::uint64_t before = std::stoull(tokenText());
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.ping(kPeer, 7, reply); }), "nil");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.createDirectory(kPeer, "/new", "flow", reply); }), "nil");
  const fs::path staged = stage("charlie");
  EXPECT_EQ(errorText([&](VfsXpcProtocol& p, auto reply) {
              p.uploadFile(kPeer, staged.string(), "/new/c.txt", "flow", reply);
            }),
            "nil");
  EXPECT_EQ(readFile(share() / "new/c.txt"), "charlie");
  auto expected = service_->statItem("/new/c.txt");
  ASSERT_TRUE(expected.ok() && expected->has_value());
  const std::string modified = std::to_string((*expected)->modifiedMs);
  EXPECT_EQ(statText("/new/c.txt"), "c.txt 7 " + modified + " nil");
  EXPECT_EQ(statText("/missing"), "nil nil") << "a missing item is neither an entry nor an error";
  EXPECT_EQ(listText("/").substr(0, 8), "a.txt 5 ");
  EXPECT_NE(listText("/").find(";new/ "), std::string::npos);

  const std::string url = fetchText("/a.txt");
  EXPECT_EQ(readFile(url), "alpha");
  EXPECT_EQ(fs::path(url).parent_path(), service_->cacheFolder());
  const std::string changes = changesText("/", before);
  EXPECT_EQ(changes.substr(0, 7), "+[new/ ") << changes;
  EXPECT_GT(std::stoull(changes.substr(changes.rfind(' ') + 1)), before);

  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.renameItem(kPeer, "/a.txt", "/b.txt", "flow", reply); }),
            std::string(kHost) + "-10 already_exists")
      << "host errors keep domain, code and code text across the link";
  EXPECT_EQ(
      errorText([](VfsXpcProtocol& p, auto reply) { p.renameItem(kPeer, "/a.txt", "/new/a.txt", "flow", reply); }),
      "nil");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.deleteItem(kPeer, "/new", true, "flow", reply); }),
            std::string(kHost) + "-24 directory_not_empty");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.deleteItem(kPeer, "/new/a.txt", false, "flow", reply); }),
            "nil");
  EXPECT_FALSE(fs::exists(share() / "new/a.txt"));
  EXPECT_EQ(linkError_->count(), 0);
}

TEST_F(HostVfsAdapterTest, CallsForAnotherPeerOrWithARelativeStagedFileAreRefused) {
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.ping("peer-2", 1, reply); }),
            std::string(kHost) + "-16 service_unavailable");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.createDirectory("peer-2", "/x", "flow", reply); }),
            std::string(kHost) + "-16 service_unavailable");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.uploadFile(kPeer, "staged", "/x", "flow", reply); }),
            std::string(kHost) + "-1 invalid_argument");
  EXPECT_EQ(statText("/a.txt", "peer-2"), "nil " + std::string(kHost) + "-16 service_unavailable");
  auto [entry, error] = ask<std::shared_ptr<const VfsFileEntryDto>>(
      [](VfsXpcProtocol& p, auto reply) { p.statItem("peer-2", "/a.txt", "flow", reply); });
  EXPECT_EQ(error->localizedDescription(), "This host serves peer \"peer-1\", not \"peer-2\"");
  EXPECT_FALSE(fs::exists(share() / "x"));
}

TEST_F(HostVfsAdapterTest, FaultsAnswerInsteadOfTheShare) {
  // Each case injects one reply kind, makes the faulted call and renders its answer.
  struct Case {
    const char* selector;
    std::optional<std::string> path;
    FaultReply reply;
    std::function<std::string(HostVfsAdapterTest&)> call;
    std::string expected;
  };
  auto statA = [](HostVfsAdapterTest& t) { return t.statText("/a.txt"); };
  auto createX = [](HostVfsAdapterTest& t) {
    return t.errorText([](VfsXpcProtocol& p, auto reply) { p.createDirectory(kPeer, "/x", "flow", reply); });
  };
  const HostFileEntry q{"q", false, 3, 4};
  const Case kCases[] = {
      {sel::statItem, "/a.txt", FaultError{kVfsErrorDomain, -8, "permission_denied", "denied"}, statA,
       "nil com.vandrel.corvane.vfs.xpc -8 permission_denied"},
      {sel::statItem, "/a.txt", FaultNothing{}, statA, "nil nil"},
      {sel::statItem, std::nullopt, HostFileEntry{"z", true, 1, 2}, statA, "z/ 1 2 nil"},
      {sel::createDirectory, std::nullopt, FaultError{"com.example", 3, std::nullopt, std::nullopt}, createX,
       "com.example 3 -"},
      {sel::createDirectory, "/x", FaultNothing{}, createX, "nil"},
      {sel::listDirectory, "/", std::vector<HostFileEntry>{q}, [](auto& t) { return t.listText("/"); }, "q 3 4;"},
      {sel::getCurrentToken, std::nullopt, FaultToken{9223372036854775807u}, [](auto& t) { return t.tokenText(); },
       "9223372036854775807"},
      {sel::readChanges, "/",
       HostChangesResult{{HostFsChange::added(q),
                          HostFsChange::removed("r"),
                          {true, q, std::nullopt},
                          {false, std::nullopt, std::nullopt}},
                         77},
       [](auto& t) { return t.changesText("/", 0); }, "+[q 3 4|nil] -[nil|r] -[q 3 4|nil] +[nil|nil] 77"},
      {sel::fetchFileContents, std::nullopt, FaultURL{"/nowhere/file"}, [](auto& t) { return t.fetchText("/a.txt"); },
       "/nowhere/file"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.expected);
    ASSERT_TRUE(faults_->set(c.selector, c.path, c.reply).ok());
    EXPECT_EQ(c.call(*this), c.expected);
    faults_->clear();
  }
  EXPECT_FALSE(fs::exists(share() / "x")) << "a faulted call does not reach the share";
  EXPECT_EQ(linkError_->count(), 0);
}

TEST_F(HostVfsAdapterTest, PathFaultsTouchOnlyTheirPathAndWinOverSelectorFaults) {
  ASSERT_TRUE(faults_->set(sel::statItem, std::nullopt, HostFileEntry{"any", false, 0, 0}).ok());
  ASSERT_TRUE(faults_->set(sel::statItem, "/a.txt", FaultNothing{}).ok());
  ASSERT_TRUE(faults_->set(sel::renameItem, "/b.txt", FaultError{.code = -17}).ok());
  EXPECT_EQ(statText("/a.txt"), "nil nil");
  EXPECT_EQ(statText("/b.txt"), "any 0 0 nil");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.renameItem(kPeer, "/a.txt", "/b.txt", "flow", reply); }),
            std::string(kHost) + "-17 -")
      << "a rename is faulted by its target path too";

  faults_->clear();
  EXPECT_EQ(statText("/b.txt").substr(0, 7), "b.txt 5");
}

TEST_F(HostVfsAdapterTest, DropClosesTheConnectionInsteadOfAnswering) {
  ASSERT_TRUE(faults_->set(sel::statItem, "/a.txt", FaultDrop{}).ok());
  bool replied = false;
  proxy_->statItem(kPeer, "/a.txt", "flow", [&replied](auto, auto) { replied = true; });
  auto linkError = linkError_->wait();
  ASSERT_TRUE(linkError.has_value());
  EXPECT_EQ(linkError->domain(), foundation::kCocoaErrorDomain);
  EXPECT_EQ(linkError->code(), foundation::cocoa::kXpcConnectionInterrupted);
  EXPECT_FALSE(replied);
  EXPECT_EQ(linkError_->count(), 1);
}

TEST_F(HostVfsAdapterTest, FaultsThatCannotBeAnsweredAreRefused) {
  struct Case {
    const char* selector;
    std::optional<std::string> path;
    FaultReply reply;
  };
  const Case kCases[] = {
      {"statItem:", std::nullopt, FaultNothing{}},                          // not a wire selector
      {sel::listDirectory, std::nullopt, HostFileEntry{"a", false, 0, 0}},  // an entry for a listing
      {sel::deleteItem, std::nullopt, FaultToken{1}},
      {sel::ping, "/a.txt", FaultNothing{}},  // the ping names no path
      {sel::getCurrentToken, "/", FaultNothing{}},
      {sel::statItem, "a.txt", FaultNothing{}},  // not a share path
  };
  for (const Case& c : kCases) {
    auto status = faults_->set(c.selector, c.path, c.reply);
    ASSERT_FALSE(status.ok()) << c.selector;
    expectVfsError(status.error(), VfsErrorCode::invalidArgument);
  }
  EXPECT_EQ(statText("/a.txt").substr(0, 7), "a.txt 5") << "nothing was installed";
}

TEST_F(HostVfsAdapterTest, CallsAreRefusedOnceThePoolIsGone) {
  pool_->shutdown();
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.createDirectory(kPeer, "/x", "flow", reply); }),
            std::string(kHost) + "-16 service_unavailable");
  EXPECT_EQ(errorText([](VfsXpcProtocol& p, auto reply) { p.ping(kPeer, 1, reply); }), "nil")
      << "the ping needs no worker";
}

}  // namespace
}  // namespace corvane::host::testing

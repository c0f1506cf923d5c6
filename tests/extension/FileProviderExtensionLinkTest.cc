// The extension's host link over real sockets: a scripted host connects to the
// service source, activates, and the link's life shows in the state, the proxies
// handed out, the event log and the system log.
#include <gtest/gtest.h>

#include "extension/VfsFileProviderServiceSource.h"
#include "tests/extension/ExtensionTestSupport.h"
#include "tests/support/Waiter.h"

namespace corvane {
namespace {

using Phase = FileProviderXpcConnectionState::Phase;
using testing::connectHost;
using testing::eventually;
using testing::HostConnection;
using testing::ScriptedHost;
using testing::Waiter;

class ExtensionLinkTest : public testing::ExtensionTest {
 protected:
  std::shared_ptr<VfsFileProviderServiceSource> hostSource() {
    return std::dynamic_pointer_cast<VfsFileProviderServiceSource>(source());
  }
  Phase phase() { return extension_->linkState().phase; }

  // Connects a host whose probe the test answers, starts its activation (the
  // answer lands in activation_) and returns the held probe reply.
  VfsXpcProtocol::ErrorReply startHeldActivation() {
    auto host = std::make_shared<ScriptedHost>();
    host->onPing = [ping = heldPing_](const std::string&, std::uint64_t, auto reply) { ping->set(std::move(reply)); };
    side_ = connect(host);
    side_.activateAsync("p1", [answer = activation_](auto error) { answer->set(std::move(error)); });
    return heldPing_->wait().value();
  }

  std::shared_ptr<Waiter<VfsXpcProtocol::ErrorReply>> heldPing_ =
      std::make_shared<Waiter<VfsXpcProtocol::ErrorReply>>();
  std::shared_ptr<Waiter<std::optional<foundation::Error>>> activation_ =
      std::make_shared<Waiter<std::optional<foundation::Error>>>();
};

TEST_F(ExtensionLinkTest, ActivationMakesTheLinkReadyAndHandsOutWorkingProxies) {
  EXPECT_EQ(extension_->acquireProxy(), nullptr) << "no proxy before any activation";
  auto host = std::make_shared<ScriptedHost>();
  host->onStatItem = [](const std::string&, const std::string& path, auto reply) {
    reply(std::make_shared<VfsFileEntryDto>(path.substr(1), false, 7, 9), std::nullopt);
  };
  HostConnection side = connect(host);

  auto answer = side.activate("p1");
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(answer->has_value()) << answer->value().localizedDescription();
  EXPECT_EQ(phase(), Phase::ready);
  EXPECT_EQ(host->calls(), std::vector<std::string>{"ping p1 1"});

  auto proxy = extension_->acquireProxy();
  ASSERT_NE(proxy, nullptr);
  Waiter<std::string> stat;
  proxy->statItem("p1", "/a.txt", "flow", [&](auto entry, auto) { stat.set(entry ? entry->name() : "none"); });
  EXPECT_EQ(stat.wait(), "a.txt");

  ASSERT_TRUE(eventually([&] { return hostSource()->pendingCountForTesting() == 0; }));
  auto connect = records("mount.xpc_connect");
  ASSERT_EQ(connect.size(), 1u);
  EXPECT_EQ(connect[0]["level"], "DEBUG");
  EXPECT_EQ(connect[0]["generation"], 1);
  auto up = records("mount.xpc_up");
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0]["level"], "INFO");
  EXPECT_EQ(up[0]["peer"], "p1");
  EXPECT_EQ(up[0]["generation"], 1);
  EXPECT_TRUE(up[0]["elapsed_ms"].is_number_unsigned());
}

TEST_F(ExtensionLinkTest, FailedProbeCoolsDownAndNamesTheErrorAsDomainAndCode) {
  auto host = std::make_shared<ScriptedHost>();
  host->onPing = [](const std::string&, std::uint64_t, auto reply) { reply(foundation::Error("com.example.host", 5)); };
  HostConnection side = connect(host);
  auto answer = side.activate("p1");
  ASSERT_TRUE(answer.has_value() && answer->has_value());
  EXPECT_EQ(**answer, foundation::Error("com.example.host", 5));
  // The link's state is failed before the host hears of it: whatever the host
  // does next (activate again, send a request) comes after that. The log line and
  // the event follow the teardown, so after the answer.
  EXPECT_EQ(phase(), Phase::coolingDown);
  EXPECT_EQ(extension_->acquireProxy(), nullptr);
  ASSERT_TRUE(eventually([&] { return records("mount.xpc_down").size() == 1; }));
  EXPECT_EQ(systemLog_->messages().size(), 1u);
  EXPECT_EQ(
      lines(true).back(),
      testing::logLine("WARN", "mount.xpc_down",
                       R"("domain":"mount","peer":"p1","operation":"mount.xpc_down","detail":"com.example.host#5",)"
                       R"("generation":1,"error_code":"connection_failed","retryable":true,"reason":"probe_failed")",
                       "FileProviderExtension.cc"));
  EXPECT_EQ(systemLog_->messages(),
            std::vector<std::string>{"\u26a0\ufe0f [FP] XPC probe_failed generation=1 com.example.host#5"});
}

TEST_F(ExtensionLinkTest, AHostActivatingAgainAtOnceFindsEachFailedProbeRecorded) {
  // Each answer starts the next activation straight from its reply handler, as
  // a host retrying at once does: every failure is still recorded, and its
  // record comes before the next attempt's.
  constexpr int kAttempts = 30;
  auto host = std::make_shared<ScriptedHost>();
  host->onPing = [](const std::string&, std::uint64_t, auto reply) { reply(foundation::Error("com.example.host", 5)); };
  std::vector<HostConnection> sides;
  for (int i = 0; i < kAttempts; ++i) sides.push_back(connect(host));
  Waiter<bool> allAnswered;
  std::function<void(int)> activate = [&](int i) {
    sides[i].activateAsync("p1", [&, i](std::optional<foundation::Error>) {
      if (i + 1 < kAttempts) {
        activate(i + 1);
      } else {
        allAnswered.set(true);
      }
    });
  };
  activate(0);
  ASSERT_TRUE(allAnswered.wait().has_value());
  // The last answer goes out before its failure is logged.
  ASSERT_TRUE(eventually([&] { return records("mount.xpc_down").size() == kAttempts; }));
  std::vector<std::string> order;
  for (const auto& line : lines()) {
    auto record = nlohmann::json::parse(line);
    const std::string event = record.value("event", "");
    if (event == "mount.xpc_connect" || event == "mount.xpc_down") {
      order.push_back(event.substr(10) + " " + std::to_string(record.value("generation", 0)));
    }
  }
  std::vector<std::string> expected;
  for (int g = 1; g <= kAttempts; ++g) {
    expected.push_back("connect " + std::to_string(g));
    expected.push_back("down " + std::to_string(g));
  }
  EXPECT_EQ(order, expected);
}

TEST_F(ExtensionLinkTest, PeerLossIsRecordedOnceAsInterrupted) {
  HostConnection side = connect();
  ASSERT_FALSE(side.activate("p1").value().has_value());
  side.connection->invalidate();  // the host goes away

  ASSERT_TRUE(eventually([&] { return phase() == Phase::coolingDown; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a second report
  auto down = records("mount.xpc_down");
  ASSERT_EQ(down.size(), 1u);
  EXPECT_EQ(down[0]["reason"], "interrupted");
  EXPECT_EQ(down[0]["detail"], "interrupted");
  EXPECT_EQ(systemLog_->messages(),
            std::vector<std::string>{"\u26a0\ufe0f [FP] XPC interrupted generation=1 interrupted"});
  EXPECT_EQ(extension_->acquireProxy(), nullptr);
}

TEST_F(ExtensionLinkTest, FailedLinkIsClosedBeforeTheFailureIsLogged) {
  HostConnection side = connect();
  ASSERT_FALSE(side.activate("p1").value().has_value());
  auto closed = std::make_shared<Waiter<bool>>();
  side.connection->setInvalidationHandler([closed] { closed->set(true); });

  // Holds the extension's queue while the failure's log line is written: the host
  // can see its connection close meanwhile only if the teardown came first. With
  // the teardown after the line the wait cannot succeed, so it is bounded.
  struct CloseSeenAtLogLine final : oslog::Sink {
    explicit CloseSeenAtLogLine(std::shared_ptr<Waiter<bool>> hostClosed) : closed(std::move(hostClosed)) {}
    void write(oslog::Type, std::string_view) override { seen.set(closed->wait(std::chrono::seconds(30)).has_value()); }
    std::shared_ptr<Waiter<bool>> closed;
    Waiter<bool> seen;
  };
  auto sink = std::make_shared<CloseSeenAtLogLine>(closed);
  oslog::ScopedSink scoped(sink);
  extension_->recordXpcDown(std::nullopt, "interrupted", 1);
  EXPECT_EQ(sink->seen.wait(), true);
}

TEST_F(ExtensionLinkTest, NewActivationReplacesTheReadyLinkSilently) {
  HostConnection first = connect();
  ASSERT_FALSE(first.activate("p1").value().has_value());
  Waiter<bool> firstClosed;
  first.connection->setInvalidationHandler([&] { firstClosed.set(true); });

  HostConnection second = connect();
  ASSERT_FALSE(second.activate("p1").value().has_value());
  EXPECT_TRUE(firstClosed.wait().has_value()) << "the replaced connection is closed";
  EXPECT_EQ(extension_->linkState().generation, 2u);

  extension_->recordXpcDown(std::nullopt, "interrupted", 1);  // a late report of the old link
  EXPECT_EQ(phase(), Phase::ready);
  EXPECT_NE(extension_->acquireProxy(), nullptr);
  EXPECT_TRUE(records("mount.xpc_down").empty());
  EXPECT_EQ(records("mount.xpc_up").size(), 2u);
}

TEST_F(ExtensionLinkTest, OvertakenProbeIsAnsweredSuperseded) {
  // Two activations on one connection: the first probe's success arrives after
  // the second attempt began, so only the second makes the link ready.
  auto host = std::make_shared<ScriptedHost>();
  std::mutex mutex;
  std::vector<VfsXpcProtocol::ErrorReply> pings;
  host->onPing = [&](const std::string&, std::uint64_t, auto reply) {
    std::lock_guard guard(mutex);
    pings.push_back(std::move(reply));
  };
  HostConnection side = connect(host);
  Waiter<std::optional<foundation::Error>> first, second;
  side.activateAsync("p1", [&](auto error) { first.set(std::move(error)); });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard g(mutex);
    return pings.size() == 1;
  }));
  side.activateAsync("p1", [&](auto error) { second.set(std::move(error)); });
  ASSERT_TRUE(eventually([&] {
    std::lock_guard g(mutex);
    return pings.size() == 2;
  }));

  pings[0](std::nullopt);
  auto stale = first.wait();
  ASSERT_TRUE(stale.has_value() && stale->has_value());
  EXPECT_EQ((*stale)->domain(), "com.vandrel.corvane.vfs.xpc");
  EXPECT_EQ((*stale)->code(), -16);
  EXPECT_EQ((*stale)->localizedDescription(), "Host connection superseded");
  EXPECT_EQ(phase(), Phase::connecting);

  pings[1](std::nullopt);
  auto fresh = second.wait();
  ASSERT_TRUE(fresh.has_value());
  EXPECT_FALSE(fresh->has_value());
  EXPECT_EQ(phase(), Phase::ready);
  EXPECT_EQ(records("mount.xpc_up").size(), 1u);
  EXPECT_EQ(records("mount.xpc_up")[0]["generation"], 2);
}

TEST_F(ExtensionLinkTest, ProbeSuccessAfterTheLinkFailedIsIgnored) {
  auto reply = startHeldActivation();
  extension_->recordXpcDown(std::nullopt, "interrupted", 1);
  ASSERT_TRUE(eventually([&] { return phase() == Phase::coolingDown; }));
  reply(std::nullopt);  // too late: the connection is already gone

  auto answer = activation_->wait();
  ASSERT_TRUE(answer.has_value() && answer->has_value()) << "the host is never told the link is up";
  EXPECT_EQ(phase(), Phase::coolingDown);
  EXPECT_TRUE(records("mount.xpc_up").empty());
  EXPECT_EQ(records("mount.xpc_down").size(), 1u);
}

TEST_F(ExtensionLinkTest, ActivationForAnotherPeerIsRefusedAndEveryEndedConnectionLeavesThePendingMap) {
  for (const std::string peer : {"p2", "P1", "p1 ", ""}) {
    HostConnection side = connect();
    ASSERT_TRUE(eventually([&] { return hostSource()->pendingCountForTesting() == 1; }));
    auto answer = side.activate(peer);
    ASSERT_TRUE(answer.has_value() && answer->has_value()) << peer;
    EXPECT_EQ((*answer)->code(), -16);
    EXPECT_EQ((*answer)->localizedDescription(), "File Provider domain does not match requested peer");
    EXPECT_TRUE(eventually([&] { return hostSource()->pendingCountForTesting() == 0; })) << peer;
    side.connection->invalidate();
  }
  EXPECT_EQ(phase(), Phase::idle);

  HostConnection closed = connect();  // a connection closed before any activation
  ASSERT_TRUE(eventually([&] { return hostSource()->pendingCountForTesting() == 1; }));
  closed.connection->invalidate();
  EXPECT_TRUE(eventually([&] { return hostSource()->pendingCountForTesting() == 0; }));
}

TEST_F(ExtensionLinkTest, ReleasedExtensionRefusesConnectionsAndActivations) {
  auto source = hostSource();
  HostConnection accepted = connectHost(source->makeListenerEndpoint());
  ASSERT_TRUE(eventually([&] { return source->pendingCountForTesting() == 1; }));

  extension_.reset();  // the framework lets go of the extension; the source lives on

  auto answer = accepted.activate("p1");
  ASSERT_TRUE(answer.has_value() && answer->has_value());
  EXPECT_EQ((*answer)->code(), -16);
  EXPECT_EQ((*answer)->localizedDescription(), "File Provider extension unavailable");

  HostConnection refused = connectHost(source->makeListenerEndpoint());
  auto refusedAnswer = refused.activate("p1");
  ASSERT_TRUE(refusedAnswer.has_value() && refusedAnswer->has_value());
  EXPECT_EQ((*refusedAnswer)->domain(), "NSCocoaErrorDomain") << "the connection itself was closed";
}

TEST_F(ExtensionLinkTest, InvalidateTearsDownWithoutRecordingAFailure) {
  extension_->invalidate();
  EXPECT_EQ(phase(), Phase::idle) << "with no connection only the phase changes";

  HostConnection side = connect();
  ASSERT_FALSE(side.activate("p1").value().has_value());
  Waiter<bool> closed;
  side.connection->setInvalidationHandler([&] { closed.set(true); });
  extension_->invalidate();
  EXPECT_EQ(phase(), Phase::idle);
  EXPECT_EQ(extension_->acquireProxy(), nullptr);
  EXPECT_TRUE(closed.wait().has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(records("mount.xpc_down").empty());
  EXPECT_EQ(extension_->linkState().generation, 1u) << "the generation is kept";
}

TEST_F(ExtensionLinkTest, UndeliveredMessagesReachTheRequestAndRecordTheLinkDown) {
  auto host = std::make_shared<ScriptedHost>();
  Waiter<bool> statArrived;
  VfsXpcProtocol::EntryReply keptReply;  // held, never answered: dropping it would refuse the call
  host->onStatItem = [&](const std::string&, const std::string&, auto reply) {
    keptReply = std::move(reply);
    statArrived.set(true);
  };
  HostConnection side = connect(host);
  ASSERT_FALSE(side.activate("p1").value().has_value());

  Waiter<std::int64_t> undelivered;
  Waiter<bool> replied;
  auto proxy = extension_->acquireProxy([&](const foundation::Error& error) { undelivered.set(error.code()); });
  ASSERT_NE(proxy, nullptr);
  proxy->statItem("p1", "/x", "flow", [&](auto, auto) { replied.set(true); });
  ASSERT_TRUE(statArrived.wait().has_value());
  side.connection->invalidate();

  EXPECT_EQ(undelivered.wait(), 4097);
  EXPECT_EQ(undelivered.count(), 1);
  EXPECT_EQ(replied.count(), 0);
  ASSERT_TRUE(eventually([&] { return records("mount.xpc_down").size() == 1; }));
}

TEST_F(ExtensionLinkTest, AcquireProxyAnswersAtOnceInEveryPhase) {
  // Each call below would hang the test if acquisition waited for readiness.
  EXPECT_EQ(extension_->acquireProxy(), nullptr);  // idle
  auto reply = startHeldActivation();
  EXPECT_EQ(phase(), Phase::connecting);
  EXPECT_EQ(extension_->acquireProxy(), nullptr);  // probing
  reply(std::nullopt);
  ASSERT_TRUE(activation_->wait().has_value());
  EXPECT_NE(extension_->acquireProxy(), nullptr);  // ready
  side_.connection->invalidate();
  ASSERT_TRUE(eventually([&] { return phase() == Phase::coolingDown; }));
  EXPECT_EQ(extension_->acquireProxy(), nullptr);  // cooling down
}

TEST_F(ExtensionLinkTest, ServiceSourcesAreOfferedForTheRootOnly) {
  auto first = source();
  auto second = source();
  EXPECT_EQ(first, second) << "one source for the extension's life";
  EXPECT_EQ(first->serviceName(), "io.corvane.mac.vfs-host");
  EXPECT_TRUE(first->isRestricted());
  for (const auto& id : {fileprovider::ItemIdentifier::workingSet(), fileprovider::ItemIdentifier::trashContainer(),
                         fileprovider::ItemIdentifier("p1::/Docs")}) {
    int calls = 0;
    auto progress = extension_->supportedServiceSources(id, [&](auto sources, auto error) {
      ++calls;
      EXPECT_TRUE(sources.has_value() && sources->empty()) << id.rawValue();
      EXPECT_FALSE(error.has_value());
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(progress->totalUnitCount(), 1);
    EXPECT_EQ(progress->completedUnitCount(), 1);
  }
  EXPECT_TRUE(lines().empty()) << "creating the extension and its source logs nothing";
}

}  // namespace
}  // namespace corvane

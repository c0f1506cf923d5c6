// The host protocol over a real socket: the host side dials the extension's
// listener and exports VfsXpcProtocol; the extension side calls it through the
// interface from createInterface() and, on the same connection, exports a
// protocol of its own.
#include <gtest/gtest.h>

#include <future>
#include <limits>

#include "shared/vfs_xpc/VfsXpcInterfaceBuilder.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"
#include "tests/platform/xpc/LinkPair.h"
#include "tests/platform/xpc/TestEchoProtocol.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTopBit = 9223372036854775808ull;

using Error = VfsXpcProtocol::Error;

foundation::Error hostError() {
  foundation::Error underlying("NSPOSIXErrorDomain", 13, foundation::UserInfo{{"NSLocalizedDescription", "denied"}});
  return foundation::Error("com.vandrel.corvane.vfs.xpc", -3,
                           foundation::UserInfo{{"corvane.error.code", "permission_denied"},
                                                {"retryAfter", std::int64_t{-1}},
                                                {"NSUnderlyingError", foundation::nested(underlying)}});
}

// Records each call's arguments and answers with fixed, edge-valued replies.
class RecordingHost final : public VfsXpcProtocol {
 public:
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  void ping(const std::string& peerId, std::uint64_t generation, ErrorReply reply) override {
    record("ping " + peerId + " " + std::to_string(generation));
    reply(std::nullopt);
  }
  void listDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                     EntriesReply reply) override {
    record("list " + peerId + " " + path + " " + flowId);
    reply(Entries{{std::make_shared<VfsFileEntryDto>("big", false, 9223372036854775807ull, kTopBit),
                   std::make_shared<VfsFileEntryDto>("砾帆", true, kMax, 0)}},
          std::nullopt);
  }
  void getCurrentToken(const std::string& peerId, const std::string& flowId, TokenReply reply) override {
    record("token " + peerId + " " + flowId);
    reply(kMax, std::nullopt);
  }
  void readChanges(const std::string& peerId, const std::string& path, std::uint64_t sinceToken,
                   const std::string& flowId, ChangesReply reply) override {
    record("changes " + peerId + " " + path + " " + std::to_string(sinceToken) + " " + flowId);
    reply(std::make_shared<VfsChangesResultDto>(
              std::vector<std::shared_ptr<const VfsFsChangeDto>>{
                  std::make_shared<VfsFsChangeDto>(std::make_shared<VfsFileEntryDto>("n", false, 5, 6)),
                  std::make_shared<VfsFsChangeDto>(std::string("old"))},
              kTopBit + 5),
          std::nullopt);
  }
  void statItem(const std::string& peerId, const std::string& path, const std::string& flowId,
                EntryReply reply) override {
    record("stat " + peerId + " " + path + " " + flowId);
    if (path == "/missing") return reply(nullptr, std::nullopt);
    reply(std::make_shared<VfsFileEntryDto>("a.txt", false, kMax, 1700000000123ull), std::nullopt);
  }
  void fetchFileContents(const std::string& peerId, const std::string& path, const std::string& flowId,
                         URLReply reply) override {
    record("fetch " + peerId + " " + path + " " + flowId);
    reply(xpc::FileURL{"/var/cache/corvane/a.txt"}, std::nullopt);
  }
  void uploadFile(const std::string& peerId, const std::string& localFileUrl, const std::string& remotePath,
                  const std::string& flowId, ErrorReply reply) override {
    record("upload " + peerId + " " + localFileUrl + " " + remotePath + " " + flowId);
    reply(std::nullopt);
  }
  void createDirectory(const std::string& peerId, const std::string& path, const std::string& flowId,
                       ErrorReply reply) override {
    record("mkdir " + peerId + " " + path + " " + flowId);
    reply(hostError());
  }
  void deleteItem(const std::string& peerId, const std::string& path, bool isDir, const std::string& flowId,
                  ErrorReply reply) override {
    record("delete " + peerId + " " + path + " " + (isDir ? "dir" : "file") + " " + flowId);
    reply(std::nullopt);
  }
  void renameItem(const std::string& peerId, const std::string& fromPath, const std::string& toPath,
                  const std::string& flowId, ErrorReply reply) override {
    record("rename " + peerId + " " + fromPath + " " + toPath + " " + flowId);
    reply(std::nullopt);
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class VfsXpcLinkTest : public ::testing::Test {
 protected:
  // The extension side is the listener's (server) end; the host dials it.
  std::unique_ptr<xpc::testing::LinkPair> link(std::shared_ptr<xpc::ExportedObject> host) {
    return xpc::testing::connectPair(
        [this](xpc::Connection& c) {
          c.setRemoteObjectInterface(VfsXpcInterfaceBuilder::createInterface());
          c.setExportedInterface(
              xpc::Interface::withProtocol(xpc::ProtocolTraits<xpc::testing::TestEchoProtocol>::spec()));
          c.setExportedObject<xpc::testing::TestEchoProtocol>(control_);
        },
        [host](xpc::Connection& c) {
          c.setExportedInterface(VfsXpcInterfaceBuilder::createInterface());
          c.setExportedObject(host);
          c.setRemoteObjectInterface(
              xpc::Interface::withProtocol(xpc::ProtocolTraits<xpc::testing::TestEchoProtocol>::spec()));
        });
  }

  corvane::testing::TempDir runtime_;
  corvane::testing::ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path().string()};
  std::shared_ptr<xpc::testing::EchoService> control_ = std::make_shared<xpc::testing::EchoService>();
  xpc::testing::Recorder errors_;
};

TEST_F(VfsXpcLinkTest, EveryOperationRoundTripsEveryField) {
  auto host = std::make_shared<RecordingHost>();
  auto pair = link(xpc::ProtocolTraits<VfsXpcProtocol>::makeDispatcher(host));
  auto vfs = pair->server->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
      [&](const foundation::Error& e) { errors_.add(std::to_string(e.code())); });

  std::promise<Error> ping, upload, mkdir, del, rename;
  std::promise<VfsXpcProtocol::Entries> list;
  std::promise<std::optional<std::uint64_t>> token;
  std::promise<std::shared_ptr<const VfsChangesResultDto>> changes;
  std::promise<std::shared_ptr<const VfsFileEntryDto>> stat, statMissing;
  std::promise<std::optional<xpc::FileURL>> fetch;
  vfs->ping("p1", kMax, [&](Error e) { ping.set_value(e); });
  vfs->listDirectory("p1", "/Docs", "f-1", [&](auto entries, Error) { list.set_value(entries); });
  vfs->getCurrentToken("p1", "f-2", [&](auto t, Error) { token.set_value(t); });
  vfs->readChanges("p1", "/", kMax, "f-3", [&](auto r, Error) { changes.set_value(r); });
  vfs->statItem("p1", "/a.txt", "f-4", [&](auto entry, Error) { stat.set_value(entry); });
  vfs->statItem("p1", "/missing", "f-5", [&](auto entry, Error) { statMissing.set_value(entry); });
  vfs->fetchFileContents("p1", "/a.txt", "f-6", [&](auto url, Error) { fetch.set_value(url); });
  vfs->uploadFile("p1", "/stage/u 1", "/Docs/b.txt", "f-7", [&](Error e) { upload.set_value(e); });
  vfs->createDirectory("p1", "/New", "f-8", [&](Error e) { mkdir.set_value(e); });
  vfs->deleteItem("p1", "/Old", true, "f-9", [&](Error e) { del.set_value(e); });
  vfs->renameItem("p1", "/a.txt", "/b.txt", "f-10", [&](Error e) { rename.set_value(e); });

  EXPECT_FALSE(ping.get_future().get());
  auto entries = list.get_future().get();
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ(*(*entries)[0], VfsFileEntryDto("big", false, 9223372036854775807ull, kTopBit));
  EXPECT_EQ(*(*entries)[1], VfsFileEntryDto("砾帆", true, kMax, 0));
  EXPECT_EQ(token.get_future().get(), kMax);
  auto result = changes.get_future().get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->newToken(), kTopBit + 5);
  ASSERT_EQ(result->changes().size(), 2u);
  EXPECT_EQ(*result->changes()[0]->entry(), VfsFileEntryDto("n", false, 5, 6));
  EXPECT_EQ(result->changes()[1]->removedName(), "old");
  auto entry = stat.get_future().get();
  ASSERT_TRUE(entry);
  EXPECT_EQ(*entry, VfsFileEntryDto("a.txt", false, kMax, 1700000000123ull));
  EXPECT_EQ(statMissing.get_future().get(), nullptr);
  EXPECT_EQ(fetch.get_future().get(), xpc::FileURL{"/var/cache/corvane/a.txt"});
  EXPECT_FALSE(upload.get_future().get());
  EXPECT_EQ(mkdir.get_future().get(), hostError());
  EXPECT_FALSE(del.get_future().get());
  EXPECT_FALSE(rename.get_future().get());

  EXPECT_EQ(host->calls(), (std::vector<std::string>{
                               "ping p1 18446744073709551615",
                               "list p1 /Docs f-1",
                               "token p1 f-2",
                               "changes p1 / 18446744073709551615 f-3",
                               "stat p1 /a.txt f-4",
                               "stat p1 /missing f-5",
                               "fetch p1 /a.txt f-6",
                               "upload p1 /stage/u 1 /Docs/b.txt f-7",
                               "mkdir p1 /New f-8",
                               "delete p1 /Old dir f-9",
                               "rename p1 /a.txt /b.txt f-10",
                           }));
  EXPECT_TRUE(errors_.events().empty());
}

TEST_F(VfsXpcLinkTest, TheOtherSideCallsItsOwnProtocolOnTheSameConnection) {
  auto pair = link(xpc::ProtocolTraits<VfsXpcProtocol>::makeDispatcher(std::make_shared<RecordingHost>()));
  std::promise<std::string> activated;
  pair->client->remoteObjectProxy<xpc::testing::TestEchoProtocol>()->echo(
      "activate p1", [&](std::optional<std::string> t, auto) { activated.set_value(t.value_or("")); });
  std::promise<Error> ping;
  pair->server->remoteObjectProxy<VfsXpcProtocol>()->ping("p1", 1, [&](Error e) { ping.set_value(e); });
  EXPECT_EQ(activated.get_future().get(), "activate p1");
  EXPECT_FALSE(ping.get_future().get());
}

// A host that answers a listing with a change object inside the array, and
// everything else with nothing.
class ForeignClassHost final : public xpc::ExportedObject {
 public:
  const xpc::ProtocolSpec& protocol() const override { return xpc::ProtocolTraits<VfsXpcProtocol>::spec(); }
  bool invoke(std::size_t method, xpc::ArgumentReader&, const xpc::ReplySender& reply) override {
    auto w = reply.begin();
    if (method == VfsXpcProtocol::kListDirectory) {
      w.writeObject(
          xpc::Object::array({xpc::Object::codable(std::make_shared<VfsFileEntryDto>("ok", false, 1, 1)),
                              xpc::Object::codable(std::make_shared<VfsFsChangeDto>(std::string("intruder")))}));
    } else {
      w.writeObject(xpc::Object());
    }
    w.writeError(std::nullopt);
    reply.send(std::move(w));
    return true;
  }
};

TEST_F(VfsXpcLinkTest, AListingWithAForeignClassInsideIsRefusedWith4101AndTheLinkStaysUp) {
  xpc::testing::Recorder events;
  auto pair = link(std::make_shared<ForeignClassHost>());
  pair->server->setInvalidationHandler([&] { events.add("invalidated"); });
  auto vfs = pair->server->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
      [&](const foundation::Error& e) { events.add(e.domain() + " " + std::to_string(e.code())); });
  vfs->listDirectory("p1", "/", "f", [&](auto, auto) { events.add("list reply"); });
  vfs->statItem("p1", "/x", "f", [&](auto entry, auto) { events.add(entry ? "entry" : "no entry"); });
  ASSERT_TRUE(events.waitFor(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(events.events(), (std::vector<std::string>{"NSCocoaErrorDomain 4101", "no entry"}));
}

TEST_F(VfsXpcLinkTest, WithoutTheBuildersAllowListAListingOfEntriesIsRefused) {
  auto pair = link(xpc::ProtocolTraits<VfsXpcProtocol>::makeDispatcher(std::make_shared<RecordingHost>()));
  pair->server->setRemoteObjectInterface(xpc::Interface::withProtocol(xpc::ProtocolTraits<VfsXpcProtocol>::spec()));
  std::promise<std::int64_t> code;
  auto vfs = pair->server->remoteObjectProxyWithErrorHandler<VfsXpcProtocol>(
      [&](const foundation::Error& e) { code.set_value(e.code()); });
  vfs->listDirectory("p1", "/", "f", [&](auto, auto) { code.set_value(0); });
  EXPECT_EQ(code.get_future().get(), foundation::cocoa::kXpcConnectionReplyInvalid);
}

}  // namespace
}  // namespace corvane

// Sync anchors and change reports through the real link: what the host is asked,
// how its changes are sorted and named, and when an anchor is expired instead.
#include <gtest/gtest.h>

#include "platform/xpc/Coder.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace corvane {
namespace {

using testing::entry;
using testing::hostError;
using testing::identifiers;
namespace Epoch = FileProviderShareEpoch;
constexpr const char* kRoot = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

// A change as only a foreign encoder makes it: marked removed with no name given,
// carrying `name`'s entry (or nothing when `name` is empty).
std::shared_ptr<const VfsFsChangeDto> removalWithoutName(const std::string& name) {
  struct Forged final : xpc::Codable {
    std::shared_ptr<const VfsFileEntryDto> entry;
    const xpc::ClassInfo& classInfo() const override { return VfsFsChangeDto::codableClass(); }
    void encode(xpc::Coder& coder) const override {
      coder.encodeBool(true, "isRemoved");
      coder.encodeObject(entry, "entry");
    }
  };
  auto forged = std::make_shared<Forged>();
  if (!name.empty()) forged->entry = entry(name);
  auto bytes = xpc::Coder::archive(xpc::Object::codable(std::shared_ptr<const xpc::Codable>(forged)));
  auto back = xpc::Coder::unarchive(xpc::ClassSet{&VfsFsChangeDto::codableClass(), &VfsFileEntryDto::codableClass()},
                                    bytes.data(), bytes.size());
  return back->as<VfsFsChangeDto>();
}

class ChangesTest : public testing::ExtensionTest {};

TEST_F(ChangesTest, CurrentAnchorBindsTheEpochToTheHostToken) {
  host_->onGetCurrentToken = [](const std::string& peer, auto reply) {
    if (peer == "p2") return reply(std::nullopt, std::nullopt);
    reply(120, std::nullopt);
  };
  EXPECT_FALSE(currentAnchor(kRoot)) << "no link, no anchor";
  EXPECT_EQ(outcome()["error_code"], "vfs_not_connected");
  link();
  const std::uint64_t epoch = Epoch::bump("p1").value();
  for (const std::string id : {kRoot, kWorkingSet, "NSFileProviderTrashContainerItemIdentifier", "p1::/Docs"}) {
    EXPECT_EQ(currentAnchor(id), fileprovider::SyncAnchor{Epoch::makeAnchor(epoch, 120)}) << id;
  }
  EXPECT_EQ(records("mount.request_done").back()["detail"], "epoch=" + std::to_string(epoch) + " token=120");
  EXPECT_FALSE(currentAnchor("p2::/Docs")) << "a host answer without a number";
  EXPECT_EQ(calls().back(), "getCurrentToken p2");
  EXPECT_EQ(records("mount.request_fail").back()["error_code"], "protocol_error");
}

TEST_F(ChangesTest, UpdatesComeBeforeDeletionsAndKeepTheJoinedPath) {
  host_->onReadChanges = [](const std::string&, const std::string&, std::uint64_t, auto reply) {
    std::vector<std::shared_ptr<const VfsFsChangeDto>> list = {std::make_shared<VfsFsChangeDto>(std::string("gone")),
                                                               std::make_shared<VfsFsChangeDto>(entry("x")),
                                                               removalWithoutName("y"), removalWithoutName("")};
    reply(std::make_shared<VfsChangesResultDto>(list, 9), std::nullopt);
  };
  link();
  const std::uint64_t epoch = Epoch::bump("p1").value();
  auto result = changes("p1::/A//B", Epoch::makeAnchor(epoch, 5));
  ASSERT_FALSE(result.error);
  EXPECT_EQ(calls(), std::vector<std::string>{"readChanges p1 /A//B 5"});
  EXPECT_EQ(result.calls, (std::vector<std::string>{"update", "delete"}));
  ASSERT_EQ(result.updated.size(), 1u);
  EXPECT_EQ(identifiers(result.updated[0]), (std::vector<std::string>{"p1::/A//B/x", "p1::/A//B/y"}));
  EXPECT_EQ(result.updated[0][0]->parentItemIdentifier().rawValue(), "p1::/A//B");
  EXPECT_EQ(result.deleted, std::vector<std::vector<std::string>>{{"p1::/A//B/gone"}});
  EXPECT_EQ(result.anchor, fileprovider::SyncAnchor{Epoch::makeAnchor(epoch, 9)});
  EXPECT_FALSE(result.moreComing);
  EXPECT_EQ(normalisedLines().back(),
            testing::logLine("DEBUG", "mount.request_done",
                             R"("domain":"mount","peer":"p1","operation":"file_provider.enumerate_changes",)"
                             R"("detail":"\/A\/\/B updated=2 deleted=1 token=9","flow_id":"F","elapsed_ms":E)",
                             "FileProviderRequestTrace.cc"));
}

TEST_F(ChangesTest, StaleAnchorsExpireBeforeTheLinkIsConsulted) {
  const std::uint64_t old = Epoch::bump("p1").value();
  Epoch::bump("p1");
  const foundation::Data kAnchors[] = {Epoch::makeAnchor(old, 5), foundation::Data(8, 1), foundation::Data(3, 0)};
  for (const auto& anchor : kAnchors) {
    auto result = changes(kRoot, anchor);  // no link at all
    EXPECT_EQ(result.error.value().code(), -1002);
  }
  EXPECT_EQ(records("mount.sync_anchor_expired").size(), 3u);
  EXPECT_EQ(records("mount.request_fail").back()["level"], "WARN");
  EXPECT_EQ(systemLog_->messages().back(), "\U0001f504 [FPEnum] share-epoch mismatch, expiring sync anchor");
}

TEST_F(ChangesTest, HostAnswersDecideBetweenListAgainAndRetryLater) {
  host_->onReadChanges = [](const std::string&, const std::string& path, std::uint64_t, auto reply) {
    if (path == "/code") return reply(nullptr, hostError(-13));
    if (path == "/text") return reply(nullptr, hostError(-12, "sync_anchor_expired"));
    if (path == "/other") return reply(nullptr, hostError(-12, "io"));
    if (path == "/foreign") return reply(nullptr, foundation::Error("com.example", -13));
    if (path == "/moved") Epoch::bump("p1");
    reply(path == "/nothing"
              ? nullptr
              : std::make_shared<VfsChangesResultDto>(std::vector<std::shared_ptr<const VfsFsChangeDto>>{}, 1),
          std::nullopt);
  };
  link();
  // "List again" answers carry an empty user-info map; "retry later" answers
  // after a host failure carry none at all.
  struct Case {
    std::string id;
    std::int64_t code;
    std::string errorCode;
    bool emptyUserInfo;
  };
  const Case kCases[] = {
      {"p1::/code", -1002, "sync_anchor_expired", true},
      {"p1::/text", -1002, "sync_anchor_expired", true},
      {"p1::/other", -1004, "io", false},
      {"p1::/foreign", -1004, "io", false},
      {"p1::/nothing", -1004, "protocol_error", false},
      {"p1::/moved", -1002, "sync_anchor_expired", true},
      {"p1:/unparseable", -1002, "invalid_argument", true},
  };
  for (const Case& c : kCases) {
    auto result = changes(c.id, Epoch::makeAnchor(Epoch::current("p1"), 5));
    EXPECT_EQ(result.error.value().code(), c.code) << c.id;
    if (c.emptyUserInfo) {
      EXPECT_EQ(result.error.value().userInfo(), foundation::UserInfo{}) << c.id;
    } else {
      EXPECT_FALSE(result.error.value().userInfo()) << c.id;
    }
    EXPECT_TRUE(result.calls.empty()) << c.id;
    EXPECT_EQ(records("mount.request_fail").back()["error_code"], c.errorCode) << c.id;
  }
  EXPECT_EQ(calls().size(), 6u) << "an unparseable folder is not sent";
  EXPECT_EQ(records("mount.sync_anchor_expired").size(), 3u);
  EXPECT_EQ(records("mount.sync_anchor_expired").back()["epoch"], Epoch::current("p1")) << "the epoch now in force";
}

TEST_F(ChangesTest, WorkingSetIsUpToDateOnlyWhileNeitherCounterMoved) {
  host_->onGetCurrentToken = [](const std::string&, auto reply) { reply(7, std::nullopt); };
  link();
  const std::uint64_t old = Epoch::bump("p1").value();
  const std::uint64_t epoch = Epoch::bump("p1").value();
  auto same = changes(kWorkingSet, Epoch::makeAnchor(epoch, 7));
  EXPECT_FALSE(same.error);
  EXPECT_TRUE(same.calls.empty());
  EXPECT_EQ(same.anchor, fileprovider::SyncAnchor{Epoch::makeAnchor(epoch, 7)});
  EXPECT_EQ(outcome()["detail"], "working_set up_to_date token=7");

  for (const auto& stale : {Epoch::makeAnchor(epoch, 6), Epoch::makeAnchor(old, 7), foundation::Data(5, 0)}) {
    auto result = changes(kWorkingSet, stale);
    EXPECT_EQ(result.error.value().code(), -1002);
  }
  EXPECT_EQ(calls().size(), 3u) << "an unreadable anchor is expired without asking";
  EXPECT_EQ(records("mount.sync_anchor_expired").size(), 3u);

  const foundation::Data given{1, 2, 3};
  auto trash = changes("NSFileProviderTrashContainerItemIdentifier", given);
  EXPECT_EQ(trash.anchor, fileprovider::SyncAnchor{given}) << "the trash hands back what it was given";
  EXPECT_EQ(calls().size(), 3u);
}

}  // namespace
}  // namespace corvane

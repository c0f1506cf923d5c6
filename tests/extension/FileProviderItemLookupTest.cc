// Item lookup: the framework's containers answered locally, every other item by a
// stat on the host named in its identifier, and each answer's error and trace.
#include <gtest/gtest.h>

#include "shared/localization/L10n.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace corvane {
namespace {

using testing::entry;
using testing::hostError;
using testing::Waiter;
using Answer = std::pair<fileprovider::ItemPtr, std::optional<foundation::Error>>;

class ItemLookupTest : public testing::ExtensionTest {
 protected:
  Answer lookUp(const std::string& id, FileProviderExtension* extension = nullptr) {
    Waiter<Answer> answer;
    auto progress = (extension ? extension : extension_.get())
                        ->item(fileprovider::ItemIdentifier(id), {}, [&](auto item, auto error) {
                          answer.set({std::move(item), std::move(error)});
                        });
    EXPECT_EQ(progress->totalUnitCount(), 1);
    auto result = answer.wait().value();
    EXPECT_EQ(answer.count(), 1);
    return result;
  }
};

TEST_F(ItemLookupTest, FrameworkContainersAreNamedLocally) {
  L10n::resetForTesting("en");
  auto unnamed = FileProviderExtension::create({"p1", ""});
  struct Case {
    std::string id, filename;
    FileProviderExtension* extension;
  };
  const Case kCases[] = {
      {"NSFileProviderRootContainerItemIdentifier", "Peer One", extension_.get()},
      {"NSFileProviderRootContainerItemIdentifier", "Shared folder", unnamed.get()},
      {"NSFileProviderWorkingSetContainerItemIdentifier", "Working Set", extension_.get()},
      {"NSFileProviderTrashContainerItemIdentifier", "Trash", extension_.get()},
  };
  for (const Case& c : kCases) {
    auto [item, error] = lookUp(c.id, c.extension);
    ASSERT_TRUE(item) << c.id;
    EXPECT_EQ(item->itemIdentifier().rawValue(), c.id);
    EXPECT_EQ(item->filename(), c.filename);
    EXPECT_EQ(item->parentItemIdentifier().rawValue(), "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(item->contentType().identifier(), "public.folder");
  }
  L10n::resetForTesting(std::nullopt);
  EXPECT_EQ(records("mount.request_done").size(), 4u) << "no link needed";
}

TEST_F(ItemLookupTest, ReadinessIsTestedBeforeTheIdentifierIsParsed) {
  EXPECT_EQ(lookUp("p1/a.txt").second.value().code(), -1004);
  EXPECT_EQ(outcome()["error_code"], "vfs_not_connected");
  link();
  auto [item, error] = lookUp("p1/a.txt");
  EXPECT_EQ(error.value().code(), -1005);
  EXPECT_FALSE(error.value().userInfo());
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(
      systemLog_->entries().back(),
      (oslog::CapturingSink::Entry{oslog::Type::Error, "\u274c [FP] item identifier is not parseable: p1/a.txt"}));
}

TEST_F(ItemLookupTest, StatGoesToThePeerTheIdentifierNames) {
  host_->onStatItem = [](const std::string&, const std::string&, auto reply) {
    reply(std::make_shared<VfsFileEntryDto>("Renamed", true, 0, 0), std::nullopt);
  };
  link();
  auto [item, error] = lookUp("p2::/Docs/Sub");
  ASSERT_TRUE(item);
  EXPECT_EQ(calls(), std::vector<std::string>{"statItem p2 /Docs/Sub"});
  EXPECT_EQ(item->itemIdentifier().rawValue(), "p2::/Docs/Sub") << "kept as asked, not rebuilt from the entry";
  EXPECT_EQ(item->filename(), "Renamed");
  EXPECT_EQ(item->parentItemIdentifier().rawValue(), "p2::/Docs");
  EXPECT_EQ(item->contentType().identifier(), "public.folder");
  EXPECT_FALSE(item->contentModificationDate());
  auto lines = normalisedLines();
  const std::string fields = R"("domain":"mount","peer":"p1","operation":"file_provider.item","detail":)";
  EXPECT_EQ(lines[lines.size() - 2],
            testing::logLine("DEBUG", "mount.request_start", fields + R"("p2::\/Docs\/Sub","flow_id":"F")",
                             "FileProviderRequestTrace.cc"));
  EXPECT_EQ(lines.back(),
            testing::logLine("DEBUG", "mount.request_done", fields + R"("\/Docs\/Sub","flow_id":"F","elapsed_ms":E)",
                             "FileProviderRequestTrace.cc"));
  EXPECT_EQ(host_->flowIds().back(), outcome()["flow_id"]);
}

TEST_F(ItemLookupTest, HostAnswersMapToFrameworkErrors) {
  host_->onStatItem = [](const std::string&, const std::string& path, auto reply) {
    if (path == "/missing") return reply(nullptr, hostError(-9, "not_found"));
    if (path == "/busy") return reply(nullptr, hostError(-12, "io"));
    reply(nullptr, std::nullopt);
  };
  link();
  struct Case {
    std::string id;
    std::int64_t code;
    std::string errorCode;
    bool retryable;
  };
  const Case kCases[] = {
      {"p1::/missing", -1005, "not_found", true},
      {"p1::/busy", -1004, "io", true},
      {"p1::/nothing", -1005, "not_found", false},
  };
  for (const Case& c : kCases) {
    auto [item, error] = lookUp(c.id);
    EXPECT_FALSE(item) << c.id;
    EXPECT_EQ(error.value().code(), c.code) << c.id;
    auto failure = records("mount.request_fail").back();
    EXPECT_EQ(failure["error_code"], c.errorCode) << c.id;
    EXPECT_EQ(failure["retryable"], c.retryable) << c.id;
  }
  EXPECT_EQ(systemLog_->messages().back(), "\u274c [FP] statItem returned no item for /nothing");
}

}  // namespace
}  // namespace corvane

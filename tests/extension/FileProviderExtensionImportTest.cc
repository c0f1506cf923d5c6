#include <gtest/gtest.h>

#include "extension/FileProviderExtension.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"

namespace corvane {
namespace {

class ImportDidFinishTest : public testing::EventLogTest {};

TEST_F(ImportDidFinishTest, VerifiedWhenTheCurrentEpochsRootWasListed) {
  auto epoch = FileProviderShareEpoch::bump("p1");
  ASSERT_TRUE(epoch.has_value());
  ASSERT_TRUE(FileProviderReimportState::markCompleted("p1", *epoch));
  auto extension = FileProviderExtension::create({"p1", ""});
  int calls = 0;
  extension->importDidFinish([&] { ++calls; });
  EXPECT_EQ(calls, 1);
  auto logged = lines(true);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1], "{\"ts\":\"TS\",\"level\":\"INFO\",\"host\":\"mac-fp\",\"event\":\"mount.reimport_done\","
                       "\"domain\":\"mount\",\"peer\":\"p1\",\"operation\":\"mount.reimport_done\","
                       "\"detail\":\"root_import_verified\",\"epoch\":" +
                           std::to_string(*epoch) +
                           ",\"target\":\"FileProvider\",\"src\":\"FileProviderExtensionImport.cc:N\","
                           "\"version\":\"" CORVANE_TEST_VERSION "\"}");
}

TEST_F(ImportDidFinishTest, UnverifiedWithoutARecordOfTheCurrentEpoch) {
  struct Case { bool bumpAfterMarking; };
  for (Case c : {Case{false}, Case{true}}) {
    auto epoch = FileProviderShareEpoch::bump("p1");
    ASSERT_TRUE(epoch.has_value());
    if (c.bumpAfterMarking) {
      ASSERT_TRUE(FileProviderReimportState::markCompleted("p1", *epoch));
      epoch = FileProviderShareEpoch::bump("p1");  // the share was replaced since
    }
    auto extension = FileProviderExtension::create({"p1", ""});
    int calls = 0;
    extension->importDidFinish([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lines(true).back(),
              "{\"ts\":\"TS\",\"level\":\"WARN\",\"host\":\"mac-fp\",\"event\":\"mount.reimport_fail\","
              "\"domain\":\"mount\",\"peer\":\"p1\",\"operation\":\"mount.reimport_fail\","
              "\"detail\":\"root_import_unverified\",\"epoch\":" +
                  std::to_string(*epoch) +
                  ",\"error_code\":\"vfs_not_connected\",\"retryable\":true,\"target\":\"FileProvider\","
                  "\"src\":\"FileProviderExtensionImport.cc:N\",\"version\":\"" CORVANE_TEST_VERSION "\"}");
  }
}

}  // namespace
}  // namespace corvane

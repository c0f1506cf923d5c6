#include <gtest/gtest.h>

#include "extension/FileProviderExtension.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"

namespace corvane {
namespace {

class ImportDidFinishTest : public testing::EventLogTest {};

TEST_F(ImportDidFinishTest, VerifiedOnlyWhenTheCurrentEpochsRootWasListed) {
  struct Case {
    bool marked, bumpedSince;  // a completion record was written; the share was replaced after it
    std::string level, event, rest;
  };
  const Case kCases[] = {
      {true, false, "INFO", "mount.reimport_done", R"(,"detail":"root_import_verified","epoch":)"},
      {false, false, "WARN", "mount.reimport_fail", R"(,"detail":"root_import_unverified","epoch":)"},
      {true, true, "WARN", "mount.reimport_fail", R"(,"detail":"root_import_unverified","epoch":)"},
  };
  for (const Case& c : kCases) {
    auto epoch = FileProviderShareEpoch::bump("p1");
    ASSERT_TRUE(epoch.has_value());
    if (c.marked) {
      ASSERT_TRUE(FileProviderReimportState::markCompleted("p1", *epoch));
    }
    if (c.bumpedSince) epoch = FileProviderShareEpoch::bump("p1");
    auto extension = FileProviderExtension::create({"p1", ""});
    int calls = 0;
    extension->importDidFinish([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    const std::string failure = c.level == "WARN" ? R"(,"error_code":"vfs_not_connected","retryable":true)" : "";
    EXPECT_EQ(lines(true).back(), testing::logLine(c.level, c.event,
                                                   R"("domain":"mount","peer":"p1","operation":")" + c.event + "\"" +
                                                       c.rest + std::to_string(*epoch) + failure,
                                                   "FileProviderExtensionImport.cc"));
  }
  EXPECT_EQ(lines().size(), 4u) << "the boot record and one line per call";
}

}  // namespace
}  // namespace corvane

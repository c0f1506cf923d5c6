// The host process dies (SIGKILL) while the extension's upload is in flight: the
// request is answered once, with server unreachable, its staged copy is removed,
// and the peer's file is never left half written.
#include <gtest/gtest.h>

#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Waiter.h"

namespace corvane {
namespace {

using testing::Waiter;

class UploadCrashTest : public testing::EventLogTest {};

TEST_F(UploadCrashTest, HostKilledMidUploadAnswersOnceAndLeavesNothingHalfDone) {
  const auto share = dir_.path() / "share";
  const std::string original(1 << 20, 'o');
  const std::string edited(64 << 20, 'n');  // large enough for the kill to land mid-copy
  testing::writeFile(share / "Docs" / "report.bin", original);
  testing::writeFile(dir_.path() / "edited.bin", edited);

  auto extension = FileProviderExtension::create({"p1", "Peer One"});
  std::shared_ptr<fileprovider::ServiceSource> source;
  extension->supportedServiceSources(fileprovider::ItemIdentifier::rootContainer(), [&](auto sources, auto) {
    if (sources && !sources->empty()) source = sources->front();
  });
  testing::ChildProcess host({CORVANE_UPLOAD_CRASH_HOST, source->makeListenerEndpoint().text(), "p1", share.string(),
                              (dir_.path() / "host").string()},
                             {.pipeOutput = true});
  ASSERT_TRUE(host.started());
  ASSERT_EQ(host.readLine(), "ready");

  auto item = std::make_shared<FileProviderItem>(fileprovider::ItemIdentifier("p1::/Docs/report.bin"),
                                                 fileprovider::ItemIdentifier("p1::/Docs"), "report.bin",
                                                 FileProviderItem::Kind::file, original.size(), 0, 0);
  auto answer = std::make_shared<Waiter<std::optional<foundation::Error>>>();
  fileprovider::Request request;
  extension->modifyItem(item, {}, fileprovider::ItemField::contents, dir_.path() / "edited.bin", 0, request,
                        [answer](auto, auto, auto, auto error) { answer->set(error); });

  auto uploading = host.readLine();
  ASSERT_TRUE(uploading.has_value());
  const auto staging = dir_.path() / "group.com.driftpin.corvane" / "UploadStaging";
  EXPECT_TRUE(uploading->starts_with("uploading " + staging.string() + "/")) << *uploading;
  host.stop(SIGKILL);

  auto error = answer->wait();
  ASSERT_TRUE(error.has_value() && error->has_value());
  EXPECT_EQ((*error)->domain(), "NSFileProviderErrorDomain");
  EXPECT_EQ((*error)->code(), -1004);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a second answer
  EXPECT_EQ(answer->count(), 1);

  EXPECT_TRUE(std::filesystem::is_empty(staging)) << "the staged copy is removed";
  const std::string now = testing::readFile(share / "Docs" / "report.bin");
  EXPECT_TRUE(now == original || now == edited) << "the peer's file is whole: " << now.size() << " bytes";
  EXPECT_EQ(testing::readFile(dir_.path() / "edited.bin"), edited) << "the framework's file is left alone";

  auto failures = records("mount.request_fail");
  ASSERT_EQ(failures.size(), 1u);
  const auto& failed = failures[0];
  EXPECT_EQ(failed["error_code"], "connection_failed");
  EXPECT_EQ(failed["level"], "WARN");
  EXPECT_EQ(failed["retryable"], true);
  extension->invalidate();
}

}  // namespace
}  // namespace corvane

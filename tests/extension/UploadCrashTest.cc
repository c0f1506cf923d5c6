// The host process dies (SIGKILL) while the extension's upload is in flight: the
// request is answered once, with server unreachable, its staged copy is removed,
// and the peer's file is never left half written.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/Waiter.h"

extern char** environ;

namespace corvane {
namespace {

using testing::Waiter;

// A child process whose standard output the test reads line by line; killed
// (SIGKILL) and reaped at the latest when the object goes.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    kill();
    ::close(out_);
  }

  // The next line of output; absent when none comes within 20 s.
  std::optional<std::string> readLine() {
    for (std::size_t end; (end = buffer_.find('\n')) == std::string::npos;) {
      pollfd p{out_, POLLIN, 0};
      char chunk[512];
      ssize_t n = ::poll(&p, 1, 20000) > 0 ? ::read(out_, chunk, sizeof chunk) : 0;
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string line = buffer_.substr(0, buffer_.find('\n'));
    buffer_.erase(0, line.size() + 1);
    return line;
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

class UploadCrashTest : public testing::EventLogTest {};

TEST_F(UploadCrashTest, HostKilledMidUploadAnswersOnceAndLeavesNothingHalfDone) {
  const auto share = dir_.path() / "share";
  const std::string original(1 << 20, 'o');
  const std::string edited(64 << 20, 'n');  // large enough for the kill to land mid-copy
  testing::writeFile(share / "Docs" / "report.bin", original);
  testing::writeFile(dir_.path() / "edited.bin", edited);

  auto extension = FileProviderExtension::create({"p1", "Peer One"});
  std::shared_ptr<fileprovider::ServiceSource> source;
  extension->supportedServiceSources(fileprovider::ItemIdentifier::rootContainer(),
                                     [&](auto sources, auto) { source = sources->at(0); });
  Child host({CORVANE_UPLOAD_CRASH_HOST, source->makeListenerEndpoint().text(), "p1", share.string(),
              (dir_.path() / "host").string()});
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
  host.kill();

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

  nlohmann::json failed;
  for (const std::string& line : lines()) {
    if (auto record = nlohmann::json::parse(line); record["event"] == "mount.request_fail") failed = record;
  }
  EXPECT_EQ(failed["error_code"], "connection_failed");
  EXPECT_EQ(failed["level"], "WARN");
  EXPECT_EQ(failed["retryable"], true);
  extension->invalidate();
}

}  // namespace
}  // namespace corvane

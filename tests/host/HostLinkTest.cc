// The host link against a real extension behind the domain manager in this
// process: activation and refusal, disconnecting, capped back-off while the
// domain is missing, and reconnection after the extension drops the link.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "extension/FileProviderExtension.h"
#include "framework/DomainManager.h"
#include "host/HostLink.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/Waiter.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::ScopedEnv;
using Phase = FileProviderXpcConnectionState::Phase;

// The link's report lines, collected from whichever thread reports them.
class Lines {
 public:
  void add(const std::string& line) {
    std::lock_guard guard(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> all() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& line : all()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class HostLinkTest : public HostFixture {
 protected:
  void SetUp() override {
    corvane::testing::writeFile(share() / "a.txt", "alpha");
    service_ = open();
    ASSERT_NE(service_, nullptr);
  }
  void TearDown() override {
    link_.reset();
    manager_.reset();
  }

  std::shared_ptr<HostLink> makeLink(std::chrono::milliseconds first, std::chrono::milliseconds maximum) {
    HostLinkOptions options;
    options.firstRetryDelay = first;
    options.maximumRetryDelay = maximum;
    options.report = [lines = lines_](const std::string& line) { lines->add(line); };
    return HostLink::create(service_, options);
  }
  std::shared_ptr<FileProviderExtension> addDomain() {
    auto added = manager_->addDomain({"peer-1", "Peer"});
    EXPECT_TRUE(added.ok());
    return added.ok() ? std::dynamic_pointer_cast<FileProviderExtension>(*added) : nullptr;
  }
  // A stat of /a.txt through the extension's current proxy: its name, or why not.
  static std::string statThroughExtension(FileProviderExtension& extension) {
    auto proxy = extension.acquireProxy();
    if (!proxy) return "no proxy";
    auto answer = std::make_shared<corvane::testing::Waiter<std::string>>();
    proxy->statItem("peer-1", "/a.txt", "flow", [answer](auto entry, auto error) {
      answer->set(entry ? entry->name() : error ? error->localizedDescription() : "nil");
    });
    return answer->wait().value_or("no answer");
  }

  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (temp() / "run").string()};
  ScopedEnv groups_{"CORVANE_APP_GROUPS", (temp() / "groups").string()};
  std::shared_ptr<HostVfsService> service_;
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  std::unique_ptr<framework::DomainManager> manager_ = std::make_unique<framework::DomainManager>();
  std::shared_ptr<HostLink> link_;
};

TEST_F(HostLinkTest, ConnectActivatesOnlyTheDomainsPeerAndDisconnectEndsTheLink) {
  auto extension = addDomain();
  ASSERT_NE(extension, nullptr);
  link_ = makeLink(std::chrono::milliseconds(10), std::chrono::milliseconds(10));

  auto refused = link_->connect("someone-else");
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->code(), -16);
  EXPECT_EQ(refused->localizedDescription(), "File Provider domain does not match requested peer");
  EXPECT_FALSE(link_->isActivated());

  EXPECT_EQ(link_->connect(), std::nullopt);
  EXPECT_TRUE(link_->isActivated());
  EXPECT_EQ(extension->linkState().phase, Phase::ready);
  EXPECT_EQ(statThroughExtension(*extension), "a.txt");

  link_->disconnect();
  EXPECT_FALSE(link_->isActivated());
  ASSERT_TRUE(eventually([&] { return extension->linkState().phase == Phase::coolingDown; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(extension->linkState().phase, Phase::coolingDown) << "a disconnected link stays down";
  EXPECT_EQ(lines_->all(),
            (std::vector<std::string>{"activation failed: File Provider domain does not match requested peer "
                                      "(com.vandrel.corvane.vfs.xpc -16)",
                                      "activated"}));
}

TEST_F(HostLinkTest, RetriesWithCappedBackOffAndReconnectsAfterTheExtensionDropsTheLink) {
  link_ = makeLink(std::chrono::milliseconds(10), std::chrono::milliseconds(40));
  link_->start();
  ASSERT_TRUE(eventually([&] { return lines_->count("retrying in") >= 4; }));

  auto extension = addDomain();
  ASSERT_NE(extension, nullptr);
  ASSERT_TRUE(eventually([&] { return link_->isActivated(); }));
  ASSERT_TRUE(eventually([&] { return extension->linkState().phase == Phase::ready; }));
  std::vector<std::string> before = lines_->all();
  ASSERT_GE(before.size(), 9u);
  EXPECT_EQ(before[0].rfind("lookup failed: ", 0), 0u) << before[0];
  EXPECT_EQ(std::vector<std::string>(before.begin() + 1, before.begin() + 8),
            (std::vector<std::string>{"retrying in 10 ms", before[2], "retrying in 20 ms", before[4],
                                      "retrying in 40 ms", before[6], "retrying in 40 ms"}));
  EXPECT_EQ(before.back(), "activated");

  extension->invalidate();  // the extension side drops the link
  ASSERT_TRUE(eventually([&] { return lines_->count("activated") == 2; }));
  ASSERT_TRUE(eventually([&] { return extension->linkState().phase == Phase::ready; }));
  EXPECT_EQ(extension->linkState().generation, 2u);
  std::vector<std::string> after = lines_->all();
  EXPECT_EQ(std::vector<std::string>(after.begin() + before.size(), after.end()),
            (std::vector<std::string>{"link lost (interrupted)", "retrying in 10 ms", "activated"}))
      << "an activation resets the back-off";
  EXPECT_EQ(statThroughExtension(*extension), "a.txt");
}

}  // namespace
}  // namespace corvane::host::testing

// Fixture for the extension's requests: an extension for peer "p1" whose link goes
// over real sockets to a scripted host. Script the host's handlers first, then
// link(): the handlers are read on the host's connection queue.
#pragma once

#include "extension/FileProviderExtension.h"
#include "extension/FileProviderItem.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"
#include "tests/support/CapturingObservers.h"
#include "tests/support/ScriptedHost.h"

namespace corvane::testing {

inline std::shared_ptr<const VfsFileEntryDto> entry(std::string name, bool isDir = false) {
  return std::make_shared<VfsFileEntryDto>(std::move(name), isDir, 42, 1700000000000);
}

inline foundation::Error hostError(std::int64_t code, std::optional<std::string> codeText = std::nullopt) {
  foundation::UserInfo info{{foundation::kLocalizedDescriptionKey, std::string("host says no")}};
  if (codeText) info.emplace("corvane.error.code", *codeText);
  return foundation::Error("com.vandrel.corvane.vfs.xpc", code, std::move(info));
}

inline std::vector<std::string> identifiers(const std::vector<fileprovider::ItemPtr>& items) {
  std::vector<std::string> ids;
  for (const auto& item : items) ids.push_back(item->itemIdentifier().rawValue());
  return ids;
}

class ExtensionTest : public EventLogTest {
 protected:
  using Listing = CapturingEnumerationObserver::Result;
  using Changes = CapturingChangeObserver::Result;

  void SetUp() override {
    EventLogTest::SetUp();
    extension_ = FileProviderExtension::create({"p1", "Peer One"});
  }
  void TearDown() override {
    if (extension_) extension_->invalidate();
    extension_.reset();
    EventLogTest::TearDown();
  }

  std::shared_ptr<fileprovider::ServiceSource> source() {
    std::shared_ptr<fileprovider::ServiceSource> found;
    extension_->supportedServiceSources(fileprovider::ItemIdentifier::rootContainer(), [&](auto sources, auto) {
      if (sources && !sources->empty()) found = sources->front();
    });
    return found;
  }
  HostConnection connect(std::shared_ptr<ScriptedHost> host = std::make_shared<ScriptedHost>()) {
    return connectHost(source()->makeListenerEndpoint(), std::move(host));
  }
  // Connects host_ and activates it for "p1".
  void link() {
    side_ = connect(host_);
    auto answer = side_.activate("p1");
    ASSERT_TRUE(answer.has_value() && !answer->has_value());
  }

  std::shared_ptr<fileprovider::Enumerator> enumerator(const std::string& id) {
    return extension_->enumerator(fileprovider::ItemIdentifier(id), {}).value();
  }
  std::shared_ptr<CapturingEnumerationObserver> startListing(const std::string& id) {
    auto observer = std::make_shared<CapturingEnumerationObserver>();
    enumerator(id)->enumerateItems(observer, {});
    return observer;
  }
  Listing list(const std::string& id) { return startListing(id)->finished.wait().value(); }
  Changes changes(const std::string& id, foundation::Data anchor) {
    auto observer = std::make_shared<CapturingChangeObserver>();
    enumerator(id)->enumerateChanges(observer, {std::move(anchor)});
    return observer->finished.wait().value();
  }
  std::optional<fileprovider::SyncAnchor> currentAnchor(const std::string& id) {
    Waiter<std::optional<fileprovider::SyncAnchor>> answer;
    enumerator(id)->currentSyncAnchor([&](auto anchor) { answer.set(std::move(anchor)); });
    return answer.wait().value();
  }

  // Host calls other than the probe.
  std::vector<std::string> calls() const {
    auto all = host_->calls();
    std::erase_if(all, [](const std::string& call) { return call.starts_with("ping "); });
    return all;
  }
  // The request's one outcome record.
  nlohmann::json outcome() {
    auto found = records("mount.request_done");
    for (auto& failed : records("mount.request_fail")) found.push_back(failed);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? nlohmann::json() : found.back();
  }

  std::shared_ptr<FileProviderExtension> extension_;
  std::shared_ptr<ScriptedHost> host_ = std::make_shared<ScriptedHost>();
  HostConnection side_;
};

}  // namespace corvane::testing

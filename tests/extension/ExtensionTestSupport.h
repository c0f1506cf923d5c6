// Fixture for the enumeration and lookup requests: an extension for peer "p1"
// whose link goes over real sockets to a scripted host. Script the host's handlers
// first, then link(): the handlers are read on the host's connection queue.
#pragma once

#include <regex>

#include <nlohmann/json.hpp>

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

class EnumerationTest : public EventLogTest {
 protected:
  using Listing = CapturingEnumerationObserver::Result;
  using Changes = CapturingChangeObserver::Result;

  void SetUp() override {
    EventLogTest::SetUp();
    extension_ = FileProviderExtension::create({"p1", "Peer One"});
  }
  void TearDown() override {
    extension_->invalidate();
    extension_.reset();
    EventLogTest::TearDown();
  }

  void link() {
    std::shared_ptr<fileprovider::ServiceSource> source;
    extension_->supportedServiceSources(fileprovider::ItemIdentifier::rootContainer(),
                                        [&](auto sources, auto) { source = sources->at(0); });
    side_ = connectHost(source->makeListenerEndpoint(), host_);
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
  std::vector<nlohmann::json> events(std::string_view name) {
    std::vector<nlohmann::json> found;
    for (const std::string& line : lines()) {
      auto record = nlohmann::json::parse(line);
      if (record["event"] == name) found.push_back(record);
    }
    return found;
  }
  // The request's one outcome record.
  nlohmann::json outcome() {
    auto done = events("mount.request_done");
    auto failed = events("mount.request_fail");
    EXPECT_EQ(done.size() + failed.size(), 1u);
    return done.empty() ? (failed.empty() ? nlohmann::json() : failed[0]) : done[0];
  }
  // Log lines with timestamps, source lines, flow ids and durations replaced.
  std::vector<std::string> normalisedLines() {
    static const std::regex flow("\"flow_id\":\"[0-9a-f-]{36}\"");
    static const std::regex elapsed("\"elapsed_ms\":[0-9]+");
    std::vector<std::string> out;
    for (const std::string& line : lines(true)) {
      out.push_back(std::regex_replace(std::regex_replace(line, flow, "\"flow_id\":\"F\""), elapsed,
                                       "\"elapsed_ms\":E"));
    }
    return out;
  }

  std::shared_ptr<FileProviderExtension> extension_;
  std::shared_ptr<ScriptedHost> host_ = std::make_shared<ScriptedHost>();
  HostConnection side_;
};

}  // namespace corvane::testing

#include "framework/mount/RemoteChangeFeed.h"

#include <nlohmann/json.hpp>

#include "framework/mount/MountStatus.h"
#include "platform/foundation/Data.h"

namespace corvane::framework::mount {

RemoteChangeFeed::RemoteChangeFeed(std::string domain) : domain_(std::move(domain)) {
  std::error_code error;
  std::filesystem::remove(remoteChangesPath(domain_), error);
}

void RemoteChangeFeed::setRefresh(PinnedRefresh* refresh) {
  std::lock_guard guard(mutex_);
  refresh_ = refresh;
}

void RemoteChangeFeed::applied(const std::vector<RemoteChange>& changes) {
  static constexpr const char* kKinds[] = {"added", "changed", "removed"};
  std::vector<std::string> lines;
  std::lock_guard guard(mutex_);
  for (const auto& change : changes) {
    if (refresh_ && change.kind != RemoteChange::Kind::removed) refresh_->changed(change.path);
    nlohmann::ordered_json line = {{"domain", domain_},
                                   {"change", kKinds[static_cast<int>(change.kind)]},
                                   {"path", change.path},
                                   {"contentVersion", nullptr}};
    if (change.contentVersion) line["contentVersion"] = foundation::hexString(*change.contentVersion);
    lines.push_back(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  appendRemoteChanges(domain_, lines);
}

}  // namespace corvane::framework::mount

#include "framework/mount/upload/ConflictRules.h"

#include <string_view>

#include "framework/ItemTemplate.h"
#include "platform/fileprovider/Errors.h"
#include "platform/foundation/Utf8.h"
#include "shared/vfs_xpc/VfsPathLimits.h"

namespace corvane::framework::mount {

std::string conflictName(const std::string& name, std::time_t when, int attempt) {
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  std::tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
  std::string mark = std::string(" (conflict ") + stamp;
  if (attempt > 1) mark += " " + std::to_string(attempt);
  mark += ")";
  // A name at the longest the peer takes still gets its copy: the stem gives way, the mark and
  // the extension (when it leaves room for a stem at all) stay.
  std::string extension = hasExtension ? name.substr(dot) : "";
  if (mark.size() + extension.size() + 1 > kVfsNameMax) extension.clear();
  const std::string_view stem = std::string_view(name).substr(0, hasExtension && !extension.empty() ? dot : name.size());
  return std::string(foundation::utf8Prefix(stem, kVfsNameMax - mark.size() - extension.size())) + mark + extension;
}

bool unchangedOnPeer(const fileprovider::ItemPtr& known, const fileprovider::ItemPtr& now) {
  if (known->itemVersion().contentVersion == now->itemVersion().contentVersion) return true;
  return known->documentSize() == now->documentSize() &&
         known->contentModificationDate() == now->contentModificationDate();
}

foundation::Result<fileprovider::ItemPtr> keepAsConflictCopy(ExtensionCalls& calls, const fileprovider::ItemPtr& peer,
                                                             const std::string& name) {
  const std::time_t now = std::time(nullptr);
  for (int attempt = 1;; ++attempt) {
    auto renamed = calls.modify(std::make_shared<ItemTemplate>(peer->itemIdentifier().rawValue(),
                                                               peer->parentItemIdentifier().rawValue(),
                                                               conflictName(name, now, attempt), std::nullopt),
                                peer->itemVersion(), fileprovider::ItemField::filename, std::nullopt);
    if (renamed.ok() || attempt == 100 ||
        !isFileProviderError(renamed.error(), fileprovider::ErrorCode::filenameCollision)) {
      return renamed;
    }
  }
}

}  // namespace corvane::framework::mount

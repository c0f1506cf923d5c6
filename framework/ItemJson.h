// JSON forms of framework values, as corvane-fp prints them.
#pragma once

#include <nlohmann/json.hpp>

#include "extension/FileProviderItem.h"
#include "platform/foundation/Error.h"

namespace corvane::framework {

// {"identifier", "parent", "filename", "kind", "size", "modifiedMs", "versionEpoch",
//  "contentVersion", "metadataVersion" (lower-case hex), "contentType", "documentSize",
//  "childItemCount", "contentModificationDate", "creationDate" (seconds or null),
//  "isDownloaded", "isMostRecentVersionDownloaded", "capabilities", "fileSystemFlags"}
nlohmann::ordered_json itemJson(const FileProviderItem& item);

// {"domain", "code", "userInfo": null | {key: text | integer | error}}
nlohmann::ordered_json errorJson(const foundation::Error& error);

}  // namespace corvane::framework

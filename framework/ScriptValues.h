// JSON forms of framework values as corvane-fp prints them (ITEM, ERR, PROGRESS
// and the field names of the script protocol, docs/script-protocol.md), and the
// few values a script writes that need decoding. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/Item.h"
#include "platform/fileprovider/ItemFields.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Progress.h"

namespace corvane::framework {

using Json = nlohmann::ordered_json;

// ITEM: {"identifier", "parent", "filename", "kind", "size", "modifiedMs", "versionEpoch",
//  "contentVersion", "metadataVersion" (lower-case hex), "contentType", "documentSize",
//  "childItemCount", "contentModificationDate", "creationDate" (seconds or null),
//  "isDownloaded", "isMostRecentVersionDownloaded", "capabilities", "fileSystemFlags"}
//  An extension's item (a corvane::FileProviderItem) in full; any other
//  (a script's own item handed back) with the same keys, holding what that item
//  has and null for the rest. Null for a null pointer.
Json itemJson(const fileprovider::Item& item);
Json itemJson(const fileprovider::ItemPtr& item);

// ERR: {"domain", "code", "userInfo": null | {key: text | integer | ERR}}
Json errorJson(const foundation::Error& error);
// ERR, or null without an error.
Json errorJson(const std::optional<foundation::Error>& error);

// PROGRESS: [completedUnitCount, totalUnitCount]; [0, 0] without a progress.
Json progressJson(const foundation::ProgressPtr& progress);

// The names of the set bits ("contents", "filename", ...), lowest first; a bit
// without a name appears as its number.
Json fieldNamesJson(fileprovider::ItemFields fields);
// The bit named `name`; absent for an unknown name.
std::optional<fileprovider::ItemFields> itemFieldNamed(std::string_view name);

// Bytes from lower- or upper-case hex; absent for an odd length or a non-hex digit.
std::optional<foundation::Data> dataFromHex(std::string_view hex);

// One output line (no line feed). Text that is not UTF-8 (a file name from the
// share, say) is written with U+FFFD in place of its bad bytes, so printing never fails.
std::string jsonLine(const Json& value);

}  // namespace corvane::framework

#include "framework/ItemJson.h"

namespace corvane::framework {
namespace {

nlohmann::ordered_json optionalDate(const std::optional<foundation::Date>& date) {
  if (!date) return nullptr;
  return date->timeIntervalSince1970;
}

}  // namespace

nlohmann::ordered_json itemJson(const FileProviderItem& item) {
  auto version = item.itemVersion();
  nlohmann::ordered_json json;
  json["identifier"] = item.itemIdentifier().rawValue();
  json["parent"] = item.parentItemIdentifier().rawValue();
  json["filename"] = item.filename();
  json["kind"] = item.kind() == FileProviderItem::Kind::directory ? "directory" : "file";
  json["size"] = item.size();
  json["modifiedMs"] = item.modifiedMs();
  json["versionEpoch"] = item.versionEpoch();
  json["contentVersion"] = foundation::hexString(version.contentVersion);
  json["metadataVersion"] = foundation::hexString(version.metadataVersion);
  json["contentType"] = item.contentType().identifier();
  if (auto size = item.documentSize()) {
    json["documentSize"] = *size;
  } else {
    json["documentSize"] = nullptr;
  }
  json["childItemCount"] = nullptr;
  json["contentModificationDate"] = optionalDate(item.contentModificationDate());
  json["creationDate"] = optionalDate(item.creationDate());
  json["isDownloaded"] = item.isDownloaded();
  json["isMostRecentVersionDownloaded"] = item.isMostRecentVersionDownloaded();
  json["capabilities"] = item.capabilities();
  json["fileSystemFlags"] = item.fileSystemFlags();
  return json;
}

nlohmann::ordered_json errorJson(const foundation::Error& error) {
  nlohmann::ordered_json json;
  json["domain"] = error.domain();
  json["code"] = error.code();
  if (!error.userInfo()) {
    json["userInfo"] = nullptr;
    return json;
  }
  nlohmann::ordered_json info = nlohmann::ordered_json::object();
  for (const auto& [key, value] : *error.userInfo()) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      info[key] = *text;
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
      info[key] = *number;
    } else if (const auto& nestedError = std::get<std::shared_ptr<const foundation::Error>>(value)) {
      info[key] = errorJson(*nestedError);
    } else {
      info[key] = nullptr;
    }
  }
  json["userInfo"] = std::move(info);
  return json;
}

}  // namespace corvane::framework

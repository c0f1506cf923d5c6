#include "framework/ScriptValues.h"

#include <utility>

#include "extension/FileProviderItem.h"
#include "framework/ItemTemplate.h"

namespace corvane::framework {
namespace {

Json optionalDate(const std::optional<foundation::Date>& date) {
  if (!date) return nullptr;
  return date->timeIntervalSince1970;
}

template <typename T>
Json optionalNumber(const std::optional<T>& value) {
  if (!value) return nullptr;
  return *value;
}

// A script's own item: the four things it was given, null elsewhere.
Json scriptItemJson(const fileprovider::Item& item, Json contentType) {
  Json json;
  json["identifier"] = item.itemIdentifier().rawValue();
  json["parent"] = item.parentItemIdentifier().rawValue();
  json["filename"] = item.filename();
  for (const char* key : {"kind", "size", "modifiedMs", "versionEpoch", "contentVersion", "metadataVersion"}) {
    json[key] = nullptr;
  }
  json["contentType"] = std::move(contentType);
  for (const char* key : {"documentSize", "childItemCount", "contentModificationDate", "creationDate", "isDownloaded",
                          "isMostRecentVersionDownloaded", "capabilities", "fileSystemFlags"}) {
    json[key] = nullptr;
  }
  return json;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Json itemJson(const fileprovider::Item& item) {
  const auto* ours = dynamic_cast<const FileProviderItem*>(&item);
  if (!ours) {
    const auto* scripted = dynamic_cast<const ItemTemplate*>(&item);
    return scriptItemJson(
        item, scripted ? optionalNumber(scripted->contentTypeText()) : Json(item.contentType().identifier()));
  }
  auto version = item.itemVersion();
  Json json;
  json["identifier"] = item.itemIdentifier().rawValue();
  json["parent"] = item.parentItemIdentifier().rawValue();
  json["filename"] = item.filename();
  json["kind"] = ours->kind() == FileProviderItem::Kind::directory ? "directory" : "file";
  json["size"] = ours->size();
  json["modifiedMs"] = ours->modifiedMs();
  json["versionEpoch"] = ours->versionEpoch();
  json["contentVersion"] = foundation::hexString(version.contentVersion);
  json["metadataVersion"] = foundation::hexString(version.metadataVersion);
  json["contentType"] = item.contentType().identifier();
  json["documentSize"] = optionalNumber(item.documentSize());
  json["childItemCount"] = optionalNumber(item.childItemCount());
  json["contentModificationDate"] = optionalDate(item.contentModificationDate());
  json["creationDate"] = optionalDate(item.creationDate());
  json["isDownloaded"] = item.isDownloaded();
  json["isMostRecentVersionDownloaded"] = item.isMostRecentVersionDownloaded();
  json["capabilities"] = item.capabilities();
  json["fileSystemFlags"] = item.fileSystemFlags();
  return json;
}

Json itemJson(const fileprovider::ItemPtr& item) { return item ? itemJson(*item) : Json(nullptr); }

Json errorJson(const foundation::Error& error) {
  Json json;
  json["domain"] = error.domain();
  json["code"] = error.code();
  if (!error.userInfo()) {
    json["userInfo"] = nullptr;
    return json;
  }
  Json info = Json::object();
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

Json errorJson(const std::optional<foundation::Error>& error) {
  if (!error) return nullptr;
  return errorJson(*error);
}

Json progressJson(const foundation::ProgressPtr& progress) {
  if (!progress) return Json::array({0, 0});
  return Json::array({progress->completedUnitCount(), progress->totalUnitCount()});
}

Json fieldNamesJson(fileprovider::ItemFields fields) {
  Json names = Json::array();
  for (const auto& [bit, name] : fileprovider::ItemField::kNames) {
    if (fields & bit) {
      names.push_back(name);
      fields &= ~bit;
    }
  }
  for (fileprovider::ItemFields bit = 1; fields != 0; bit <<= 1) {
    if (fields & bit) {
      names.push_back(bit);
      fields &= ~bit;
    }
  }
  return names;
}

std::optional<fileprovider::ItemFields> itemFieldNamed(std::string_view name) {
  for (const auto& [bit, fieldName] : fileprovider::ItemField::kNames) {
    if (name == fieldName) return bit;
  }
  return std::nullopt;
}

std::optional<foundation::Data> dataFromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  foundation::Data bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexDigit(hex[i]);
    const int low = hexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string jsonLine(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace corvane::framework

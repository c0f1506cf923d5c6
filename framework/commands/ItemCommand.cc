#include "framework/commands/ItemCommand.h"

#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "extension/FileProviderItem.h"
#include "extension/ParsedIdentifier.h"
#include "framework/ScriptValues.h"
#include "platform/foundation/PathString.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"
#include "shared/localization/L10n.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace corvane::framework::commands {

int runItemCommand(const Arguments& arguments) {
  std::string peer = "p1";
  std::string path = "/Docs/a.txt";
  std::uint64_t size = 42;
  std::uint64_t modifiedMs = 900;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    if (i + 1 >= arguments.size()) return kBadArguments;
    const std::string& flag = arguments[i];
    const std::string& value = arguments[i + 1];
    std::optional<std::uint64_t> number;
    if (flag == "--peer") {
      peer = value;
    } else if (flag == "--path") {
      path = value;
    } else if (flag == "--size" && (number = parseNumber(value))) {
      size = *number;
    } else if (flag == "--modified-ms" && (number = parseNumber(value))) {
      modifiedMs = *number;
    } else {
      return kBadArguments;
    }
  }

  fileprovider::ItemIdentifier identifier(FileProviderItemIdentifierCodec::identifier(peer, path));
  auto parsed = ParsedIdentifier::parse(identifier);
  if (!parsed) {
    std::fprintf(stderr, "corvane-fp: \"%s\" is not a peer item identifier (peer::/absolute/path)\n",
                 identifier.rawValue().c_str());
    return 1;
  }
  const std::uint64_t epoch = FileProviderShareEpoch::current(parsed->peerId);
  const bool isFolder = path.size() > 1 && path.back() == '/';
  FileProviderItem item(identifier, parsed->parentIdentifier, foundation::PathString::lastPathComponent(parsed->path),
                        isFolder ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file, size, modifiedMs,
                        epoch);
  nlohmann::ordered_json out;
  out["identifier"] = identifier.rawValue();
  out["peerId"] = parsed->peerId;
  out["path"] = parsed->path;
  out["parent"] = parsed->parentIdentifier.rawValue();
  out["shareEpoch"] = epoch;
  out["rootName"] = L10n::t("共享文件夹");
  out["item"] = itemJson(item);
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  return 0;
}

}  // namespace corvane::framework::commands

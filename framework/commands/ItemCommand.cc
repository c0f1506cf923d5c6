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
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag == "--peer") {
      peer = reader.value(flag, "a peer id");
    } else if (flag == "--path") {
      path = reader.value(flag, "a path from \"/\"");
    } else if (flag == "--size" || flag == "--modified-ms") {
      const std::string& value = reader.value(flag, "a count");
      auto number = parseNumber(value);
      if (!number) ArgumentReader::invalid(flag, value, "a count");
      (flag == "--size" ? size : modifiedMs) = *number;
    } else {
      ArgumentReader::unexpected(flag);
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

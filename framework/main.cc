// corvane-fp: the framework stand-in's command-line face.
//
//   corvane-fp [item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]
//
// "item" (the default) shows how the extension names and versions one entry of a
// peer's share: its identifier, parent, the share epoch in force (read from the
// App Group container) and the item the framework would see, as one JSON object.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "extension/FileProviderItem.h"
#include "extension/ParsedIdentifier.h"
#include "framework/ItemJson.h"
#include "platform/foundation/PathString.h"
#include "shared/localization/L10n.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: corvane-fp [item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]\n");
  return 2;
}

bool parseNumber(const char* text, std::uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  out = value;
  return true;
}

int runItem(int argc, char** argv, int first) {
  std::string peer = "p1";
  std::string path = "/Docs/a.txt";
  std::uint64_t size = 42;
  std::uint64_t modifiedMs = 900;
  for (int i = first; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (flag == "--peer") {
      peer = value;
    } else if (flag == "--path") {
      path = value;
    } else if (flag == "--size") {
      if (!parseNumber(value, size)) return usage();
    } else if (flag == "--modified-ms") {
      if (!parseNumber(value, modifiedMs)) return usage();
    } else {
      return usage();
    }
  }

  using corvane::FileProviderItem;
  fileprovider::ItemIdentifier identifier(peer + "::" + path);
  auto parsed = corvane::ParsedIdentifier::parse(identifier);
  if (!parsed) {
    std::fprintf(stderr, "corvane-fp: \"%s\" is not a peer item identifier (peer::/absolute/path)\n",
                 identifier.rawValue().c_str());
    return 1;
  }

  const std::uint64_t epoch = corvane::FileProviderShareEpoch::current(parsed->peerId);
  const bool isFolder = path.size() > 1 && path.back() == '/';
  FileProviderItem item(identifier, parsed->parentIdentifier,
                        foundation::PathString::lastPathComponent(parsed->path),
                        isFolder ? FileProviderItem::Kind::directory : FileProviderItem::Kind::file,
                        size, modifiedMs, epoch);

  nlohmann::ordered_json out;
  out["identifier"] = identifier.rawValue();
  out["peerId"] = parsed->peerId;
  out["path"] = parsed->path;
  out["parent"] = parsed->parentIdentifier.rawValue();
  out["shareEpoch"] = epoch;
  out["rootName"] = corvane::L10n::t("共享文件夹");
  out["item"] = corvane::framework::itemJson(item);
  std::cout << out.dump(2) << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return runItem(argc, argv, 1);
  if (std::strcmp(argv[1], "item") == 0) return runItem(argc, argv, 2);
  return usage();
}

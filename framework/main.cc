// corvane-fp: the framework stand-in's command-line face.
//
//   corvane-fp [item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]
//   corvane-fp script [--domain ID] [--display-name TEXT] [--share DIR]
//                     [--app-groups DIR | --no-container]
//   corvane-fp demo [--json]
//   corvane-fp mount [--domain ID] [--display-name TEXT] [--share DIR | --no-host]
//                    [--drain-timeout SECONDS] [--foreground] MOUNTPOINT
//                    [--cache-max SIZE] [--cache-min-free SIZE]
//   corvane-fp unmount MOUNTPOINT | --all
//   corvane-fp status [--json] [--domain ID]
//   corvane-fp watch [--domain ID]
//   corvane-fp pin PATH...   /   corvane-fp unpin PATH...
//   corvane-fp install-service DOMAIN --share DIR [--display-name NAME]
//   corvane-fp doctor [--json]
//
// "item" (the default) shows how the extension names and versions one entry of a
// peer's share: its identifier, parent, the share epoch in force (read from the
// App Group container) and the item the framework would see, as one JSON object.
// "script" drives the extension with JSON lines (docs/script-protocol.md).
// "demo" runs one end-to-end session against a corvane-vfs-host process.
// "mount" makes a domain's share a folder through FUSE; "unmount" stops one
// after its uploads; "status" lists the running mounts; "watch" prints the
// changes made on the peer's side as a mount applies them; "pin" keeps files
// and folders of a mount available offline, and "unpin" lets them go again;
// "install-service" sets a domain up as a systemd user service; "doctor" says
// what in the set-up stands in a mount's way.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "extension/FileProviderItem.h"
#include "extension/ParsedIdentifier.h"
#include "framework/DemoJob.h"
#include "framework/ScriptRunner.h"
#include "framework/ScriptValues.h"
#include "framework/mount/MountCommand.h"
#include "framework/mount/MountStatus.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PathString.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"
#include "shared/localization/L10n.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace {

constexpr const char* kUsage =
    "usage: corvane-fp [item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]\n"
    "       corvane-fp script [--domain ID] [--display-name TEXT] [--share DIR]\n"
    "                         [--app-groups DIR | --no-container]\n"
    "       corvane-fp demo [--json]\n"
    "       corvane-fp mount [--domain ID] [--display-name TEXT] [--share DIR | --no-host]\n"
    "                        [--drain-timeout SECONDS] [--cache-max SIZE] [--cache-min-free SIZE]\n"
    "                        [--foreground] MOUNTPOINT\n"
    "       corvane-fp unmount MOUNTPOINT | --all\n"
    "       corvane-fp status [--json] [--domain ID]\n"
    "       corvane-fp watch [--domain ID]\n"
    "       corvane-fp pin PATH...\n"
    "       corvane-fp unpin PATH...\n"
    "       corvane-fp install-service DOMAIN --share DIR [--display-name NAME]\n"
    "       corvane-fp doctor [--json]\n";

int usage() {
  std::fputs(kUsage, stderr);
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
  fileprovider::ItemIdentifier identifier(corvane::FileProviderItemIdentifierCodec::identifier(peer, path));
  auto parsed = corvane::ParsedIdentifier::parse(identifier);
  if (!parsed) {
    std::fprintf(stderr, "corvane-fp: \"%s\" is not a peer item identifier (peer::/absolute/path)\n",
                 identifier.rawValue().c_str());
    return 1;
  }

  const std::uint64_t epoch = corvane::FileProviderShareEpoch::current(parsed->peerId);
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
  out["rootName"] = corvane::L10n::t("共享文件夹");
  out["item"] = corvane::framework::itemJson(item);
  std::cout << out.dump(2) << std::endl;
  return 0;
}

int runScript(int argc, char** argv) {
  corvane::framework::ScriptSessionOptions options;
  std::optional<std::string> appGroups;
  bool noContainer = false;
  for (int i = 2; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--no-container") {
      noContainer = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (flag == "--domain" && !value.empty()) {
      options.domainId = value;
    } else if (flag == "--display-name") {
      options.displayName = value;
    } else if (flag == "--share" && !value.empty()) {
      options.share = value;
    } else if (flag == "--app-groups" && !value.empty()) {
      appGroups = value;
    } else {
      return usage();
    }
  }
  if (appGroups && noContainer) return usage();
  // Both before anything reads the container: the event log resolves it once.
  if (appGroups) ::setenv("CORVANE_APP_GROUPS", appGroups->c_str(), 1);
  if (noContainer) foundation::FileManager::withholdContainers();

  auto session = corvane::framework::ScriptSession::open(std::move(options));
  if (!session.ok()) {
    std::fprintf(stderr, "corvane-fp script: %s\n", session.error().localizedDescription().c_str());
    return 1;
  }
  corvane::framework::ScriptRunner runner(**session);
  runner.run(std::cin, std::cout);
  return 0;
}

int runDemo(int argc, char** argv) {
  corvane::framework::DemoOptions options;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") != 0) return usage();
    options.json = true;
  }
  return corvane::framework::runDemo(options, std::cout);
}

int runMountCommand(int argc, char** argv) {
  corvane::framework::mount::MountOptions options;
  bool haveShare = false;
  for (int i = 2; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--no-host") {
      options.noHost = true;
    } else if (flag == "--foreground" || flag == "-f") {
      options.foreground = true;
    } else if (flag == "--drain-timeout") {
      if (i + 1 >= argc) return usage();
      char* end = nullptr;
      const double seconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || !(seconds >= 0) || seconds > 86400) return usage();
      options.drainTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } else if (flag == "--cache-max" || flag == "--cache-min-free") {
      if (i + 1 >= argc) return usage();
      auto size = corvane::framework::mount::parseSize(argv[++i]);
      if (!size) return usage();
      (flag == "--cache-max" ? options.cacheMax : options.cacheMinFree) = *size;
    } else if (flag == "--domain" || flag == "--display-name" || flag == "--share") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return usage();
      std::string value = argv[++i];
      if (flag == "--domain") options.domain = value;
      if (flag == "--display-name") options.displayName = value;
      if (flag == "--share") options.share = value, haveShare = true;
    } else if (!flag.empty() && flag[0] != '-' && options.mountPoint.empty()) {
      options.mountPoint = flag;
    } else {
      return usage();
    }
  }
  if (options.mountPoint.empty() || (haveShare && options.noHost)) return usage();
  return corvane::framework::mount::runMount(options);
}

int runUnmountCommand(int argc, char** argv) {
  if (argc != 3) return usage();
  if (std::strcmp(argv[2], "--all") == 0) return corvane::framework::mount::runUnmountAll();
  return corvane::framework::mount::runUnmount(argv[2]);
}

int runInstallServiceCommand(int argc, char** argv) {
  if (argc < 3 || argv[2][0] == '-') return usage();
  std::string share, displayName;
  for (int i = 3; i < argc; ++i) {
    if (i + 1 >= argc) return usage();
    if (std::strcmp(argv[i], "--share") == 0) {
      share = argv[++i];
    } else if (std::strcmp(argv[i], "--display-name") == 0) {
      displayName = argv[++i];
    } else {
      return usage();
    }
  }
  if (share.empty()) return usage();
  return corvane::framework::mount::runInstallService(argv[2], share, displayName);
}

int runDoctorCommand(int argc, char** argv) {
  if (argc > 3 || (argc == 3 && std::strcmp(argv[2], "--json") != 0)) return usage();
  return corvane::framework::mount::runDoctor(argc == 3);
}

int runPinCommand(int argc, char** argv, bool pin) {
  if (argc < 3) return usage();
  return corvane::framework::mount::runPin(std::vector<std::string>(argv + 2, argv + argc), pin);
}

int runWatch(int argc, char** argv) {
  std::string domain;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--domain") == 0 && i + 1 < argc) {
      domain = argv[++i];
    } else {
      return usage();
    }
  }
  return corvane::framework::mount::watchRemoteChanges(domain, std::cout);
}

int runStatus(int argc, char** argv) {
  bool json = false;
  std::string domain;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--domain") == 0 && i + 1 < argc) {
      domain = argv[++i];
    } else {
      return usage();
    }
  }
  using namespace corvane::framework::mount;
  return printStatus(readStatuses(), json, domain, std::cout);
}

}  // namespace

int main(int argc, char** argv) {
  // A host that goes away mid-write must not end this process.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 2 || argv[1][0] == '-') {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return runItem(argc, argv, 1);
  }
  if (std::strcmp(argv[1], "item") == 0) return runItem(argc, argv, 2);
  if (std::strcmp(argv[1], "script") == 0) return runScript(argc, argv);
  if (std::strcmp(argv[1], "demo") == 0) return runDemo(argc, argv);
  if (std::strcmp(argv[1], "mount") == 0) return runMountCommand(argc, argv);
  if (std::strcmp(argv[1], "status") == 0) return runStatus(argc, argv);
  if (std::strcmp(argv[1], "unmount") == 0) return runUnmountCommand(argc, argv);
  if (std::strcmp(argv[1], "watch") == 0) return runWatch(argc, argv);
  if (std::strcmp(argv[1], "pin") == 0) return runPinCommand(argc, argv, true);
  if (std::strcmp(argv[1], "install-service") == 0) return runInstallServiceCommand(argc, argv);
  if (std::strcmp(argv[1], "doctor") == 0) return runDoctorCommand(argc, argv);
  if (std::strcmp(argv[1], "unpin") == 0) return runPinCommand(argc, argv, false);
  return usage();
}

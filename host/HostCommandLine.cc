#include "host/HostCommandLine.h"

namespace corvane::host {

const char* hostUsage() {
  return "usage: corvane-vfs-host --peer ID=DIR [--peer ID2=DIR2 ...]\n"
         "  Serves each folder DIR as the share of peer ID to the File Provider domain ID.\n"
         "  SIGINT or SIGTERM stops it.\n";
}

std::variant<HostCommandLine, std::string> parseHostCommandLine(const std::vector<std::string>& args) {
  HostCommandLine parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    if (arg != "--peer") return "unknown argument \"" + arg + "\"";
    if (i + 1 == args.size()) return "\"--peer\" needs a value ID=DIR";
    const std::string& value = args[++i];
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos) return "\"--peer " + value + "\" is not of the form ID=DIR";
    HostPeerArgument peer{value.substr(0, equals), value.substr(equals + 1)};
    if (peer.peerId.empty()) return "\"--peer " + value + "\" names no peer ID";
    if (peer.folder.empty()) return "\"--peer " + value + "\" names no folder";
    for (const HostPeerArgument& earlier : parsed.peers) {
      if (earlier.peerId == peer.peerId) return "peer \"" + peer.peerId + "\" is given more than once";
    }
    parsed.peers.push_back(std::move(peer));
  }
  if (parsed.peers.empty() && !parsed.help) return "no \"--peer ID=DIR\" given";
  return parsed;
}

}  // namespace corvane::host

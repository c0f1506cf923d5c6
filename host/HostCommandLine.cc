#include "host/HostCommandLine.h"

namespace corvane::host {

const char* hostUsage() {
  return "usage: corvane-vfs-host [--peer ID=DIR ...] [--remote ID=[USER@]HOST:DIR ...]\n"
         "                        [--ssh-command CMD] [--remote-program PATH]\n"
         "       corvane-vfs-host --serve-stdio DIR\n"
         "       corvane-vfs-host --version\n"
         "  --peer ID=DIR      serve the folder DIR of this machine as the share of peer ID\n"
         "                     to the File Provider domain ID\n"
         "  --remote ID=ADDR   serve the folder at ADDR ([USER@]HOST:DIR or\n"
         "                     ssh://[USER@]HOST[:PORT]/DIR) as the share of peer ID, over ssh\n"
         "  --ssh-command CMD  how to reach HOST (default: $CORVANE_SSH_COMMAND, else ssh)\n"
         "  --remote-program PATH\n"
         "                     what to run there (default: $CORVANE_REMOTE_PROGRAM, else\n"
         "                     corvane-vfs-host)\n"
         "  --serve-stdio DIR  be the far end of a share stream on standard input and output\n"
         "  SIGINT or SIGTERM stops it.\n";
}

std::variant<HostCommandLine, std::string> parseHostCommandLine(const std::vector<std::string>& args) {
  HostCommandLine parsed;
  auto known = [&](const std::string& id) {
    for (const HostPeerArgument& p : parsed.peers) {
      if (p.peerId == id) return true;
    }
    for (const HostRemoteArgument& r : parsed.remotes) {
      if (r.peerId == id) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    if (arg == "--version") {
      parsed.version = true;
      continue;
    }
    if (arg != "--peer" && arg != "--remote" && arg != "--serve-stdio" && arg != "--ssh-command" &&
        arg != "--remote-program") {
      return "unknown argument \"" + arg + "\"";
    }
    if (i + 1 == args.size()) {
      const char* what = arg == "--peer"          ? "ID=DIR"
                         : arg == "--remote"      ? "ID=[USER@]HOST:DIR"
                         : arg == "--serve-stdio" ? "DIR"
                         : arg == "--ssh-command" ? "CMD"
                                                  : "PATH";
      return "\"" + arg + "\" needs a value " + what;
    }
    const std::string& value = args[++i];
    if (arg == "--serve-stdio" || arg == "--ssh-command" || arg == "--remote-program") {
      if (value.empty()) return "\"" + arg + "\" needs a value that is not empty";
      if (arg == "--serve-stdio") parsed.serveStdio = value;
      if (arg == "--ssh-command") parsed.sshCommand = value;
      if (arg == "--remote-program") parsed.remoteProgram = value;
      continue;
    }
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos) {
      return "\"" + arg + " " + value + "\" is not of the form " + (arg == "--peer" ? "ID=DIR" : "ID=ADDRESS");
    }
    const std::string id = value.substr(0, equals);
    const std::string where = value.substr(equals + 1);
    if (id.empty()) return "\"" + arg + " " + value + "\" names no peer ID";
    if (where.empty()) return "\"" + arg + " " + value + "\" names no folder";
    if (known(id)) return "peer \"" + id + "\" is given more than once";
    if (arg == "--peer") {
      parsed.peers.push_back({id, where});
      continue;
    }
    auto address = parseRemoteAddress(where);
    if (const std::string* mistake = std::get_if<std::string>(&address)) return *mistake;
    parsed.remotes.push_back({id, std::get<RemoteAddress>(address)});
  }
  if (parsed.help || parsed.version) return parsed;
  if (parsed.serveStdio && (!parsed.peers.empty() || !parsed.remotes.empty())) {
    return "\"--serve-stdio\" serves one stream and nothing else";
  }
  if (parsed.peers.empty() && parsed.remotes.empty() && !parsed.serveStdio) {
    return "no \"--peer ID=DIR\" given";
  }
  return parsed;
}

}  // namespace corvane::host

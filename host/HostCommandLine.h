// The command line of corvane-vfs-host: which folder to serve as which peer's
// share, here or on another machine, or the far end of a share stream. Parsed
// in one place so every mistake gets one clear message.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/stream/RemoteAddress.h"

namespace corvane::host {

struct HostPeerArgument {
  std::string peerId;
  std::filesystem::path folder;

  friend bool operator==(const HostPeerArgument&, const HostPeerArgument&) = default;
};

struct HostRemoteArgument {
  std::string peerId;
  RemoteAddress address;

  friend bool operator==(const HostRemoteArgument&, const HostRemoteArgument&) = default;
};

struct HostCommandLine {
  std::vector<HostPeerArgument> peers;      // in the order given
  std::vector<HostRemoteArgument> remotes;  // "--remote ID=[USER@]HOST:DIR"
  std::optional<std::filesystem::path> serveStdio;
  std::optional<std::string> sshCommand;  // absent: $CORVANE_SSH_COMMAND, else "ssh"
  std::optional<std::string> remoteProgram;  // absent: $CORVANE_REMOTE_PROGRAM, else "corvane-vfs-host"
  bool help = false;     // "--help" or "-h": print usage, serve nothing
  bool version = false;  // "--version"
};

// The usage text, ending in a line feed.
const char* hostUsage();

// `args` without the program name. A usage mistake is returned as its message
// (one line, no line feed): nothing to serve, a missing or malformed "ID=DIR"
// or address, an empty ID or DIR, a peer given twice, --serve-stdio beside
// peers, or an unknown argument.
std::variant<HostCommandLine, std::string> parseHostCommandLine(const std::vector<std::string>& args);

}  // namespace corvane::host

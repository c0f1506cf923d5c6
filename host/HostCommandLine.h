// The command line of corvane-vfs-host: which folder to serve as which peer's
// share. Parsed in one place so every mistake gets one clear message.
#pragma once

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

namespace corvane::host {

struct HostPeerArgument {
  std::string peerId;
  std::filesystem::path folder;

  friend bool operator==(const HostPeerArgument&, const HostPeerArgument&) = default;
};

struct HostCommandLine {
  std::vector<HostPeerArgument> peers;  // in the order given
  bool help = false;                    // "--help" or "-h": print usage, serve nothing
};

// The usage text, ending in a line feed.
const char* hostUsage();

// `args` without the program name. A usage mistake is returned as its message
// (one line, no line feed): no "--peer", a missing or malformed "ID=DIR", an
// empty ID or DIR, a peer given twice, or an unknown argument.
std::variant<HostCommandLine, std::string> parseHostCommandLine(const std::vector<std::string>& args);

}  // namespace corvane::host

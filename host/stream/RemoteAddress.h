// Where a share on another machine is: "[USER@]HOST:DIR" (as scp and rsync
// write it) or "ssh://[USER@]HOST[:PORT]/DIR". DIR is as the far side's shell
// takes it: relative to the home folder unless it starts with "/" (or "~").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane::host {

struct RemoteAddress {
  std::string user;  // empty: ssh's own choice
  std::string host;
  std::optional<unsigned> port;
  std::string folder;  // "" (the home folder) or a path

  // As the user would write it back ("me@box:work").
  std::string text() const;
  // A domain id for this share when none is given: the host name, and the
  // folder's last name when there is one ("box-work").
  std::string defaultDomain() const;

  friend bool operator==(const RemoteAddress&, const RemoteAddress&) = default;
};

// Whether `text` is meant as a remote address rather than a local path: it
// starts with "ssh://", or has a ":" before any "/".
bool looksRemote(std::string_view text);

// The address, or what is wrong with it (one line).
std::variant<RemoteAddress, std::string> parseRemoteAddress(std::string_view text);

}  // namespace corvane::host

// Unix-domain socket plumbing shared by Listener and Connection: an owning file
// descriptor, the peer's credentials, and the private folder that listening
// sockets live in. Internal to the xpc:: layer (and its tests).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace xpc::socket {

// Closes its descriptor when destroyed. Move-only.
using UniqueFd = foundation::UniqueFd;

struct PeerCredentials {
  pid_t pid;
  uid_t uid;
};

// SO_PEERCRED of a connected socket.
std::optional<PeerCredentials> peerCredentials(int fd);

// Where this user's sockets live: $XDG_RUNTIME_DIR/corvane when that variable is
// set and not empty, else /tmp/corvane-<uid>. Not created here.
std::filesystem::path runtimeDirectory();

// Creates `dir` (and missing parents) with mode 0700, or accepts an existing
// folder that is ours, not a symbolic link, and open to no one else.
foundation::Status ensurePrivateDirectory(const std::filesystem::path& dir);

// A socket path fits in sockaddr_un.
bool fitsSocketAddress(const std::string& path);

// A connected, close-on-exec stream socket to `path`. Blocking: a connection's
// reader sleeps in recv(), and its writers never wait, passing MSG_DONTWAIT.
foundation::Result<UniqueFd> connectTo(const std::string& path);

}  // namespace xpc::socket

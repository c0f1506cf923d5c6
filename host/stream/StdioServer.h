// serveStdio: corvane-vfs-host --serve-stdio DIR, the far end of a share stream.
// It greets on `out`, takes the other side's greeting from `in` (which names the
// peer, and so the state kept for it), opens DIR as that peer's share and then
// serves ShareStreamProtocol over the two descriptors until the stream ends or
// `stopFd` becomes readable. It never listens anywhere and writes nothing on
// `out` but the stream, so it can run as the command of an ssh session.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace corvane::host {

struct StdioServeOptions {
  std::filesystem::path folder;
  int in = 0;
  int out = 1;
  int stopFd = -1;  // readable: stop (a signalfd); -1 for none
  std::string version;
  // How long the other side may take to greet.
  std::chrono::milliseconds greetingTimeout{std::chrono::seconds(60)};
};

// The exit status: 0 after a stream that ran and ended, 1 when it never began
// (its reason is on standard error, and in the refusal the other side reads).
int serveStdio(const StdioServeOptions& options);

}  // namespace corvane::host

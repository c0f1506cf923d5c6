#include "host/stream/StdioServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "host/HostError.h"
#include "host/HostLocations.h"
#include "host/HostVfsAdapter.h"
#include "host/HostVfsService.h"
#include "host/WorkerPool.h"
#include "host/stream/ShareStreamProtocol.h"
#include "host/stream/StreamContentsServer.h"
#include "host/stream/StreamHandshake.h"
#include "platform/xpc/Connection.h"

namespace corvane::host {

namespace {

void say(const std::string& line) { std::fprintf(stderr, "corvane-vfs-host: %s\n", line.c_str()); }

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies `from` to `to` until `from` ends or `stop` is readable; then shuts
// `shutTo` for writing (when it is a socket) so the other end sees the end too.
void relay(int from, int to, int stop, bool shutTo) {
  char buffer[64 * 1024];
  for (;;) {
    pollfd p[2] = {{from, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents != 0) break;
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0 || !writeAll(to, buffer, static_cast<std::size_t>(n))) break;
  }
  if (shutTo) ::shutdown(to, SHUT_WR);
}

void signal(int eventFd) {
  const std::uint64_t one = 1;
  (void)!::write(eventFd, &one, sizeof one);
}

}  // namespace

int serveStdio(const StdioServeOptions& options) {
  const StreamGreeting ours{std::string(kStreamProgram), options.version, kShareStreamProtocol, std::nullopt};
  if (!writeGreetingLine(options.out, formatGreeting(ours))) return 1;
  std::string why;
  auto line = readGreetingLine(options.in, std::chrono::steady_clock::now() + options.greetingTimeout, why);
  if (!line) {
    say("no greeting from the other side: " + why);
    return 1;
  }
  auto theirs = parseGreeting(*line);
  auto refuse = [&](StreamAnswer::Kind kind, const std::string& text) {
    say(text);
    writeGreetingLine(options.out, formatAnswer({kind, text}));
    return 1;
  };
  if (!theirs || !theirs->peer) return refuse(StreamAnswer::Kind::error, "the other side's greeting is not understood");
  if (theirs->protocol != kShareStreamProtocol) {
    return refuse(StreamAnswer::Kind::error, "this corvane-vfs-host " + options.version + " speaks protocol " +
                                                 std::to_string(kShareStreamProtocol) + ", not " +
                                                 std::to_string(theirs->protocol));
  }

  HostVfsServiceOptions serviceOptions;
  serviceOptions.peerId = *theirs->peer;
  serviceOptions.shareFolder = options.folder;
  const auto cache = defaultCacheDirectory();
  if (!cache) return refuse(StreamAnswer::Kind::error, "set XDG_CACHE_HOME or HOME on this machine");
  const std::filesystem::path staging = *cache / "incoming" / peerFileStem(*theirs->peer);
  serviceOptions.stagingFolder = staging;
  auto opened = HostVfsService::open(std::move(serviceOptions));
  if (!opened.ok()) {
    const bool busy = opened.error().code() == static_cast<std::int64_t>(VfsErrorCode::serviceUnavailable);
    return refuse(busy ? StreamAnswer::Kind::busy : StreamAnswer::Kind::error,
                  "cannot serve " + options.folder.string() + ": " + opened.error().localizedDescription());
  }
  std::shared_ptr<HostVfsService> service(std::move(*opened));
  // Uploads an earlier stream left half done; with the peer's lock held, no
  // other stream is staging here.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(staging, ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
  if (!writeGreetingLine(options.out, formatAnswer({}))) return 1;
  say("serving " + options.folder.string() + " as peer \"" + *theirs->peer + "\" on this stream");

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 1;
  foundation::UniqueFd connectionEnd(pair[0]);
  const int relayEnd = pair[1];
  foundation::UniqueFd relayFd(relayEnd);
  foundation::UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  foundation::UniqueFd ended(::eventfd(0, EFD_CLOEXEC));
  if (!stop.valid() || !ended.valid()) return 1;

  auto pool = std::make_shared<WorkerPool>();
  auto connection = xpc::Connection::withConnectedSocket(std::move(connectionEnd));
  auto contents = std::make_shared<StreamContentsServer>(service, pool, staging);
  auto files = std::make_shared<HostVfsAdapter>(service, pool, nullptr, connection);
  connection->setExportedInterface(makeShareStreamInterface());
  connection->setExportedObject(xpc::ProtocolTraits<ShareStreamProtocol>::makeDispatcher(contents, files));
  connection->setInvalidationHandler([endedFd = ended.get()] { signal(endedFd); });
  contents.reset();
  files.reset();

  std::thread inbound([&] { relay(options.in, relayEnd, stop.get(), true); });
  std::thread outbound([&] { relay(relayEnd, options.out, stop.get(), false); });
  connection->resume();

  pollfd p[2] = {{ended.get(), POLLIN, 0}, {options.stopFd, POLLIN, 0}};
  while (::poll(p, options.stopFd >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
  }
  connection->invalidate();
  // A relay blocked writing into the socket or out to a reader that went away
  // is let go too.
  ::shutdown(relayEnd, SHUT_RDWR);
  signal(stop.get());
  inbound.join();
  outbound.join();
  pool.reset();  // finishes the file work already queued; its replies go nowhere
  service.reset();
  say("the stream ended");
  return 0;
}

}  // namespace corvane::host

// corvane-vfs-host: serves peers' shares to the File Provider extension, one
// HostLink per peer. A folder of this machine is served by a HostVfsService; a
// folder of another machine by a RemoteShare, a stream over ssh to this same
// program there (--serve-stdio), which serves it with its own HostVfsService.
// Each link keeps itself up (reconnecting with back-off) and reports its events
// on standard error. SIGINT or SIGTERM ends the program cleanly: links closed,
// queued file work finished, each peer's state saved.
//
//   corvane-vfs-host --peer ID=DIR [--remote ID=[USER@]HOST:DIR ...]
//   corvane-vfs-host --serve-stdio DIR
//
// Exit status: 0 after a stop, 1 when a share cannot be served, 2 for a usage
// mistake, 3 when a share elsewhere cannot be reached in a way that trying
// again will not mend (the mount then stops restarting this program).
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/ContentCache.h"
#include "host/HostCommandLine.h"
#include "host/HostLink.h"
#include "host/HostLocations.h"
#include "host/HostVfsService.h"
#include "host/stream/RemoteShare.h"
#include "host/stream/RemoteShareAdapter.h"
#include "host/stream/StdioServer.h"
#include "host/stream/StreamHandshake.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/xpc/Socket.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/upload_staging/FileProviderUploadStaging.h"

namespace {

using corvane::host::HostCommandLine;

constexpr int kLastingFailure = 3;

std::string programVersion() {
  return foundation::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").value_or("0");
}

// The link to a share on another machine, connected once before the extension
// is told of it so that a share that cannot be reached at all ends here with
// its reason. Null (having said why) when that reason will not mend.
std::shared_ptr<corvane::host::HostLink> remoteLink(const corvane::host::HostRemoteArgument& remote,
                                                    const HostCommandLine& commandLine) {
  using namespace corvane::host;
  RemoteShareOptions options;
  options.address = remote.address;
  options.peerId = remote.peerId;
  const char* fromEnvironment = std::getenv("CORVANE_SSH_COMMAND");
  options.sshCommand = commandLine.sshCommand.value_or(fromEnvironment && *fromEnvironment ? fromEnvironment : "ssh");
  const char* programFromEnvironment = std::getenv("CORVANE_REMOTE_PROGRAM");
  options.remoteProgram = commandLine.remoteProgram.value_or(
      programFromEnvironment && *programFromEnvironment ? programFromEnvironment : "corvane-vfs-host");
  options.version = programVersion();
  const std::string peer = remote.peerId;
  options.report = [peer](const std::string& line) {
    std::fprintf(stderr, "corvane-vfs-host: peer \"%s\": %s\n", peer.c_str(), line.c_str());
  };
  auto cacheBase = defaultCacheDirectory();
  if (!cacheBase) {
    std::fprintf(stderr, "corvane-vfs-host: set XDG_CACHE_HOME or HOME\n");
    return nullptr;
  }
  auto cache = ContentCache::open(*cacheBase / (peerFileStem(remote.peerId) + ".fetched"), std::chrono::hours(1));
  if (!cache.ok()) {
    std::fprintf(stderr, "corvane-vfs-host: %s\n", cache.error().localizedDescription().c_str());
    return nullptr;
  }
  if (auto state = defaultStateDirectory()) {
    std::error_code ignored;
    std::filesystem::create_directories(*state, ignored);
    options.linkFile = remoteLinkFile(*state, remote.peerId);
  }
  const auto runtime = xpc::socket::runtimeDirectory();
  if (xpc::socket::ensurePrivateDirectory(runtime / "transfers").ok()) {
    options.transfersFile = transfersFile(runtime, remote.peerId);
  }
  auto share = RemoteShare::create(std::move(options));
  if (auto failure = share->connect()) {
    std::fprintf(stderr, "corvane-vfs-host: %s\n", failure->line.c_str());
    if (failure->lasting) return nullptr;
  }
  share->start();
  std::fprintf(stderr, "corvane-vfs-host: serving %s as peer \"%s\"\n", remote.address.text().c_str(),
               remote.peerId.c_str());
  return HostLink::create(std::make_shared<RemoteServedShare>(share, std::shared_ptr(std::move(*cache))));
}

// Blocks until SIGINT or SIGTERM arrives; returns its number. The signals were
// blocked in every thread before any thread started, so they wait here.
int awaitStopSignal(const sigset_t& signals) {
  int fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (fd < 0) {
    // Without a signalfd, sigwait does the same job.
    int number = 0;
    ::sigwait(&signals, &number);
    return number;
  }
  signalfd_siginfo info{};
  while (::read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
    if (errno != EINTR) break;
  }
  ::close(fd);
  return static_cast<int>(info.ssi_signo);
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  auto parsed = corvane::host::parseHostCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (const std::string* mistake = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "corvane-vfs-host: %s\n%s", mistake->c_str(), corvane::host::hostUsage());
    return 2;
  }
  const HostCommandLine& commandLine = std::get<HostCommandLine>(parsed);
  if (commandLine.help) {
    std::fputs(corvane::host::hostUsage(), stdout);
    return 0;
  }
  if (commandLine.version) {
    std::printf("corvane-vfs-host %s (share stream protocol %u)\n", programVersion().c_str(),
                corvane::host::kShareStreamProtocol);
    return 0;
  }
  if (commandLine.serveStdio) {
    // Standard output is the stream: nothing else may be written there.
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    corvane::host::StdioServeOptions options;
    options.folder = *commandLine.serveStdio;
    options.stopFd = stopFd;
    options.version = programVersion();
    const int status = corvane::host::serveStdio(options);
    if (stopFd >= 0) ::close(stopFd);
    return status;
  }

  std::vector<std::shared_ptr<corvane::host::HostLink>> links;
  for (const auto& peer : commandLine.peers) {
    corvane::host::HostVfsServiceOptions options;
    options.peerId = peer.peerId;
    options.shareFolder = peer.folder;
    if (auto container = foundation::FileManager::containerURL(std::string(corvane::CorvaneFpLog::appGroupId))) {
      options.stagingFolder = *container / corvane::FileProviderUploadStaging::directoryName;
    }
    auto service = corvane::host::HostVfsService::open(std::move(options));
    if (!service.ok()) {
      std::fprintf(stderr, "corvane-vfs-host: cannot serve %s as peer \"%s\": %s\n", peer.folder.c_str(),
                   peer.peerId.c_str(), service.error().localizedDescription().c_str());
      return 1;
    }
    std::fprintf(stderr, "corvane-vfs-host: serving %s as peer \"%s\"\n", peer.folder.c_str(), peer.peerId.c_str());
    links.push_back(corvane::host::HostLink::create(std::shared_ptr(std::move(*service))));
    links.back()->start();
  }
  for (const auto& remote : commandLine.remotes) {
    auto link = remoteLink(remote, commandLine);
    if (!link) return kLastingFailure;
    links.push_back(std::move(link));
    links.back()->start();
  }

  const int number = awaitStopSignal(stopSignals);
  std::fprintf(stderr, "corvane-vfs-host: stopping (%s)\n", ::strsignal(number));
  links.clear();  // each link closes, finishes its file work and releases its service
  return 0;
}

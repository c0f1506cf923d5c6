// corvane-vfs-host: serves local folders as peers' shares to the File Provider
// extension, one HostVfsService and one HostLink per peer. Each link keeps
// itself up (reconnecting with back-off) and reports its events on standard
// error. SIGINT or SIGTERM ends the program cleanly: links closed, queued file
// work finished, each peer's state saved.
//
//   corvane-vfs-host --peer ID=DIR [--peer ID2=DIR2 ...]
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/HostCommandLine.h"
#include "host/HostLink.h"
#include "host/HostVfsService.h"
#include "platform/foundation/FileManager.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/upload_staging/FileProviderUploadStaging.h"

namespace {

using corvane::host::HostCommandLine;

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

  const int number = awaitStopSignal(stopSignals);
  std::fprintf(stderr, "corvane-vfs-host: stopping (%s)\n", ::strsignal(number));
  links.clear();  // each link closes, finishes its file work and releases its service
  return 0;
}

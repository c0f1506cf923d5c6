// A host in its own process, for the upload crash test: connects to the
// extension's service endpoint (its text form), activates PEER and serves SHARE
// through the real host core. An upload is announced on standard output, then
// carried out by the core, and never answered, so the test can kill the process
// with the upload in flight.
//
//   upload_crash_host ENDPOINT PEER SHARE STATE
//
// Prints "ready" once the extension accepted the activation, then one
// "uploading LOCAL REMOTE" line per upload.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "host/HostVfsService.h"
#include "tests/support/ScriptedHost.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: upload_crash_host ENDPOINT PEER SHARE STATE\n");
    return 2;
  }
  auto endpoint = xpc::ListenerEndpoint::fromText(argv[1]);
  corvane::host::HostVfsServiceOptions options;
  options.peerId = argv[2];
  options.shareFolder = argv[3];
  options.stateFolder = std::filesystem::path(argv[4]) / "state";
  options.cacheFolder = std::filesystem::path(argv[4]) / "cache";
  options.watchExternalChanges = false;
  auto service = corvane::host::HostVfsService::open(std::move(options));
  if (!endpoint || !service) {
    std::fprintf(stderr, "upload_crash_host: bad endpoint or share\n");
    return 1;
  }

  // Replies kept unanswered: dropping one would refuse the call instead.
  static std::mutex heldMutex;
  static std::vector<corvane::VfsXpcProtocol::ErrorReply> held;
  auto host = std::make_shared<corvane::testing::ScriptedHost>();
  host->onUploadFile = [&service](const std::string&, const std::string& local, const std::string& remote,
                                  corvane::VfsXpcProtocol::ErrorReply reply) {
    {
      std::lock_guard guard(heldMutex);
      held.push_back(std::move(reply));
    }
    std::printf("uploading %s %s\n", local.c_str(), remote.c_str());
    std::fflush(stdout);
    (void)(*service)->uploadFile(local, remote);
  };

  auto side = corvane::testing::connectHost(*endpoint, host);
  auto answer = side.activate(argv[2]);
  if (!answer || answer->has_value()) {
    std::fprintf(stderr, "upload_crash_host: activation failed\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) ::pause();
}

// A host in its own process, for cross-process tests: looks the extension's
// service up through the domain manager socket, connects, serves pings, activates
// a peer and prints the answer ("nil" or "error DOMAIN CODE DESCRIPTION").
//
//   fake_vfs_host DOMAIN PEER
#include <cstdio>

#include "platform/fileprovider/Manager.h"
#include "tests/support/ScriptedHost.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fake_vfs_host DOMAIN PEER\n");
    return 2;
  }
  auto endpoint = fileprovider::Manager::getServiceSync(argv[1], "io.corvane.mac.vfs-host");
  if (!endpoint) {
    std::printf("lookup %s %lld %s\n", endpoint.error().domain().c_str(),
                static_cast<long long>(endpoint.error().code()), endpoint.error().localizedDescription().c_str());
    return 1;
  }
  auto side = corvane::testing::connectHost(*endpoint);
  auto answer = side.activate(argv[2]);
  if (!answer) {
    std::printf("timeout\n");
    return 1;
  }
  if (!answer->has_value()) {
    std::printf("nil\n");
  } else {
    const foundation::Error& error = **answer;
    std::printf("error %s %lld %s\n", error.domain().c_str(), static_cast<long long>(error.code()),
                error.localizedDescription().c_str());
  }
  side.connection->invalidate();
  return 0;
}

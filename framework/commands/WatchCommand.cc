#include "framework/commands/WatchCommand.h"

#include <iostream>

#include "framework/mount/MountStatus.h"

namespace corvane::framework::commands {

int runWatchCommand(const Arguments& arguments) {
  std::string domain;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--domain" && i + 1 < arguments.size()) {
      domain = domainNamed(arguments[++i]);
    } else {
      return kBadArguments;
    }
  }
  return mount::watchRemoteChanges(domain, std::cout);
}

}  // namespace corvane::framework::commands

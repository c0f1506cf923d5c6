#include "framework/commands/StatusCommand.h"

#include <iostream>

#include "framework/mount/MountStatus.h"

namespace corvane::framework::commands {

int runStatusCommand(const Arguments& arguments) {
  bool json = false;
  std::string domain;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--json") {
      json = true;
    } else if (arguments[i] == "--domain" && i + 1 < arguments.size()) {
      domain = domainNamed(arguments[++i]);
    } else {
      return kBadArguments;
    }
  }
  return mount::printStatus(mount::readStatuses(), json, domain, std::cout);
}

}  // namespace corvane::framework::commands

#include "framework/commands/StatusCommand.h"

#include <iostream>

#include "framework/mount/MountStatus.h"

namespace corvane::framework::commands {

int runStatusCommand(const Arguments& arguments) {
  bool json = false;
  std::string domain;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag == "--json") {
      json = true;
    } else if (flag == "--domain") {
      domain = domainNamed(reader.value(flag, "a domain id or HOST:DIR"));
    } else {
      ArgumentReader::unexpected(flag);
    }
  }
  return mount::printStatus(mount::readStatuses(), json, domain, std::cout);
}

}  // namespace corvane::framework::commands

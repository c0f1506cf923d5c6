#include "framework/commands/WatchCommand.h"

#include <iostream>

#include "framework/mount/MountWatch.h"

namespace corvane::framework::commands {

int runWatchCommand(const Arguments& arguments) {
  std::string domain;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag != "--domain") ArgumentReader::unexpected(flag);
    domain = domainNamed(reader.value(flag, "a domain id or HOST:DIR"));
  }
  return mount::watchMount(domain, std::cout);
}

}  // namespace corvane::framework::commands

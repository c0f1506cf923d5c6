#include "framework/commands/ScriptCommand.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "framework/ScriptRunner.h"
#include "framework/ScriptSession.h"
#include "platform/foundation/FileManager.h"

namespace corvane::framework::commands {

int runScriptCommand(const Arguments& arguments) {
  ScriptSessionOptions options;
  std::optional<std::string> appGroups;
  bool noContainer = false;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag == "--no-container") {
      noContainer = true;
    } else if (flag == "--domain") {
      options.domainId = reader.value(flag, "a domain id");
    } else if (flag == "--display-name") {
      options.displayName = reader.value(flag, "a name");
    } else if (flag == "--share") {
      options.share = reader.value(flag, "a folder");
    } else if (flag == "--app-groups") {
      appGroups = reader.value(flag, "a folder");
    } else {
      ArgumentReader::unexpected(flag);
    }
  }
  if (appGroups && noContainer) throw UsageError("--app-groups and --no-container cannot go together");
  // Both before anything reads the container: the event log resolves it once.
  if (appGroups) ::setenv("CORVANE_APP_GROUPS", appGroups->c_str(), 1);
  if (noContainer) foundation::FileManager::withholdContainers();

  auto session = ScriptSession::open(std::move(options));
  if (!session.ok()) {
    std::fprintf(stderr, "corvane-fp script: %s\n", session.error().localizedDescription().c_str());
    return 1;
  }
  ScriptRunner runner(**session);
  runner.run(std::cin, std::cout);
  return 0;
}

}  // namespace corvane::framework::commands

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
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (flag == "--no-container") {
      noContainer = true;
      continue;
    }
    if (i + 1 >= arguments.size()) return kBadArguments;
    const std::string& value = arguments[++i];
    if (flag == "--domain" && !value.empty()) {
      options.domainId = value;
    } else if (flag == "--display-name") {
      options.displayName = value;
    } else if (flag == "--share" && !value.empty()) {
      options.share = value;
    } else if (flag == "--app-groups" && !value.empty()) {
      appGroups = value;
    } else {
      return kBadArguments;
    }
  }
  if (appGroups && noContainer) return kBadArguments;
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

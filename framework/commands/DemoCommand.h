// `corvane-fp demo [--json]`: one end-to-end session of the extension against a
// corvane-vfs-host process.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runDemoCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

// `corvane-fp script`: drives the extension with JSON lines on standard input
// and output (docs/script-protocol.md).
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runScriptCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

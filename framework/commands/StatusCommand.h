// `corvane-fp status [--json] [--domain ID]`: every mounted domain of the user,
// also one still waiting for its host.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runStatusCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

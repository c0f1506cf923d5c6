// `corvane-fp watch [--domain ID]`: one JSON line per change made on the peer's
// side that a mount applied, since inotify never hears of those.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runWatchCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

// `corvane-fp forget DOMAIN`: removes what this machine keeps for a domain that
// is no longer wanted (its pins, logs, cached files and its host's state), so
// that `doctor` stops listing it. Never while it is mounted or its host runs,
// and never with uploads still queued unless told to drop them.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runForgetCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

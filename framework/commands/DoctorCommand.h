// `corvane-fp doctor [--json]`: what in the set-up stands in a mount's way, one
// line per check with what to do about it; exit status 1 when a check failed.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runDoctorCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

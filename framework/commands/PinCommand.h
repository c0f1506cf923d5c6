// `corvane-fp pin PATH...` keeps files and folders of a mount available offline;
// `corvane-fp unpin PATH...` lets them go again. Exit status 2 when a path is in
// no running mount, 1 when something failed.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runPinCommand(const Arguments& arguments);
int runUnpinCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

// `corvane-fp mount`: makes one domain's share a folder through FUSE and serves
// it until SIGINT/SIGTERM or an unmount. Exit status 2 when the mount cannot be
// made (no FUSE, a bad mount point or domain), 1 for other failures.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runMountCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

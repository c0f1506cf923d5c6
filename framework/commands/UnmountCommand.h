// `corvane-fp unmount MOUNTPOINT | --all`: stops the mount there (or every mount
// of this user) as SIGTERM would and follows its drain of queued uploads until
// the process is gone. Exit status 2 when nothing of ours is mounted there.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runUnmountCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

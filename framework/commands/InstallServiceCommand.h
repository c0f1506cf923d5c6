// `corvane-fp install-service DOMAIN --share DIR [--display-name NAME]`, or with
// [DOMAIN] [USER@]HOST:DIR [--ssh-command CMD] [--remote-program PATH] for a
// share on another machine: sets a domain up as a systemd user service. Exit
// status 2 for a domain, share or name a service cannot use.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runInstallServiceCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands

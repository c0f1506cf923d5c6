// corvane-fp: the framework stand-in's command-line face. Each command lives in
// framework/commands/; this table names them, and is the one usage text.
#include <csignal>
#include <cstdio>
#include <string>

#include "framework/commands/Command.h"
#include "framework/commands/DemoCommand.h"
#include "framework/commands/DoctorCommand.h"
#include "framework/commands/InstallServiceCommand.h"
#include "framework/commands/ItemCommand.h"
#include "framework/commands/MountCommand.h"
#include "framework/commands/PinCommand.h"
#include "framework/commands/ScriptCommand.h"
#include "framework/commands/StatusCommand.h"
#include "framework/commands/UnmountCommand.h"
#include "framework/commands/WatchCommand.h"

namespace {

using namespace corvane::framework::commands;

// In the order the usage lists them; the first is also what runs with no command.
constexpr Command kCommands[] = {
    {"item", "[item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]", runItemCommand},
    {"script", "script [--domain ID] [--display-name TEXT] [--share DIR] [--app-groups DIR | --no-container]",
     runScriptCommand},
    {"demo", "demo [--json]", runDemoCommand},
    {"mount",
     "mount [--domain ID] [--display-name TEXT] [--share DIR | --no-host] [--drain-timeout SECONDS]\n"
     "                        [--cache-max SIZE] [--cache-min-free SIZE] [--foreground] MOUNTPOINT\n"
     "       corvane-fp mount [OPTIONS] [--ssh-command CMD] [--remote-program PATH] [USER@]HOST:DIR MOUNTPOINT",
     runMountCommand},
    {"unmount", "unmount MOUNTPOINT | --all", runUnmountCommand},
    {"status", "status [--json] [--domain ID | --domain HOST:DIR]", runStatusCommand},
    {"watch", "watch [--domain ID | --domain HOST:DIR]", runWatchCommand},
    {"pin", "pin PATH...", runPinCommand},
    {"unpin", "unpin PATH...", runUnpinCommand},
    {"install-service",
     "install-service DOMAIN --share DIR [--display-name NAME]\n"
     "       corvane-fp install-service [DOMAIN] [--ssh-command CMD] [--remote-program PATH] [--display-name NAME]\n"
     "                        [USER@]HOST:DIR",
     runInstallServiceCommand},
    {"doctor", "doctor [--json]", runDoctorCommand},
};

void printUsage(std::FILE* to) {
  const char* lead = "usage: ";
  for (const Command& command : kCommands) {
    std::fprintf(to, "%scorvane-fp %s\n", lead, command.usage);
    lead = "       ";
  }
}

int run(const Command& command, Arguments arguments) {
  const int status = command.run(arguments);
  if (status != kBadArguments) return status;
  printUsage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A host that goes away mid-write must not end this process.
  std::signal(SIGPIPE, SIG_IGN);
  const Arguments all(argv + 1, argv + argc);
  if (!all.empty() && (all[0] == "--help" || all[0] == "-h")) {
    printUsage(stdout);
    return 0;
  }
  if (all.empty() || all[0].starts_with("-")) return run(kCommands[0], all);
  for (const Command& command : kCommands) {
    if (all[0] == command.name) return run(command, Arguments(all.begin() + 1, all.end()));
  }
  printUsage(stderr);
  return 2;
}

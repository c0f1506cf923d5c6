// corvane-fp: the framework stand-in's command-line face. Each command lives in
// framework/commands/; this table names them, and is the one usage and help
// text, so the two cannot drift apart.
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include "framework/commands/Command.h"
#include "framework/commands/DemoCommand.h"
#include "framework/commands/DoctorCommand.h"
#include "framework/commands/ForgetCommand.h"
#include "framework/commands/InstallServiceCommand.h"
#include "framework/commands/ItemCommand.h"
#include "framework/commands/MountCommand.h"
#include "framework/commands/PinCommand.h"
#include "framework/commands/ScriptCommand.h"
#include "framework/commands/StatusCommand.h"
#include "framework/commands/UnmountCommand.h"
#include "framework/commands/WatchCommand.h"
#include "platform/foundation/Bundle.h"

namespace {

using namespace corvane::framework::commands;

// In the order the usage lists them.
constexpr Command kCommands[] = {
    {"mount",
     "mount [OPTIONS] [--share DIR | --no-host] MOUNTPOINT\n"
     "       corvane-fp mount [OPTIONS] SOURCE MOUNTPOINT",
     "show a peer's shared folder at MOUNTPOINT, as a folder every program can use",
     "SOURCE is a folder of this machine (as --share DIR), or [USER@]HOST:DIR or\n"
     "ssh://[USER@]HOST[:PORT]/DIR for a folder of another computer, reached over ssh.\n"
     "Without either, a sample share is served.\n"
     "\n"
     "Options:\n"
     "  --domain ID              the domain's id, one folder name (default: \"sample\",\n"
     "                           or one made from HOST for another computer)\n"
     "  --display-name TEXT      the name the folder shows (default: the localized\n"
     "                           name of a shared folder)\n"
     "  --share DIR              serve DIR of this machine\n"
     "  --no-host                wait for a host started elsewhere\n"
     "  --ssh-command CMD        how to reach HOST (default: $CORVANE_SSH_COMMAND, else ssh)\n"
     "  --remote-program PATH    what to run on HOST (default: corvane-vfs-host)\n"
     "  --drain-timeout SECONDS  how long a stop waits for uploads (default: 60)\n"
     "  --cache-max SIZE         the cache's budget, e.g. 2G (default: 10% of its\n"
     "                           file system, at most 20G)\n"
     "  --cache-min-free SIZE    what the cache leaves free (default: 2G)\n"
     "  -f, --foreground         stay in the foreground; Ctrl-C unmounts\n"
     "\n"
     "$CORVANE_DRAIN_TIMEOUT and $CORVANE_CACHE_MAX, when set, give --drain-timeout\n"
     "and --cache-max (a service's settings file sets them).\n"
     "\n"
     "Example:\n"
     "  corvane-fp mount me@desk:Documents ~/Desk\n",
     runMountCommand},
    {"unmount", "unmount MOUNTPOINT | --all",
     "stop a mount, after its queued uploads are sent (up to its --drain-timeout)",
     "Options:\n"
     "  --all  stop every running mount\n"
     "\n"
     "What could not be sent stays queued for the next mount of the domain, and is\n"
     "listed.\n"
     "\n"
     "Example:\n"
     "  corvane-fp unmount ~/Desk\n",
     runUnmountCommand},
    {"status", "status [--json] [--domain ID | --domain HOST:DIR]",
     "show each running mount: its link, transfers, uploads queued and conflicts",
     "Uploads being sent and files being fetched are listed with the bytes done,\n"
     "the rate and the time left when the share is on another machine (a local\n"
     "share's copies run at disk speed). The status is rewritten every 2 s.\n"
     "\n"
     "Options:\n"
     "  --json                        one JSON document instead of text\n"
     "  --domain ID | --domain HOST:DIR  only that domain (default: every mount)\n"
     "\n"
     "Example:\n"
     "  corvane-fp status --domain desk\n",
     runStatusCommand},
    {"watch", "watch [--domain ID | --domain HOST:DIR]",
     "print the peer's changes and the transfers as they happen, one line each",
     "Each line is a JSON object: a change made on the peer's side that the mount\n"
     "applied ({\"change\": \"added\"|\"changed\"|\"removed\", \"path\", ...}), or a\n"
     "transfer that started, moved on or ended ({\"transfer\": \"upload\"|\"download\",\n"
     "\"state\": \"started\"|\"progress\"|\"ended\", \"path\", \"size\", \"bytesDone\",\n"
     "\"bytesPerSecond\", \"secondsLeft\"}). It ends with the mount, or with Ctrl-C.\n"
     "\n"
     "Options:\n"
     "  --domain ID | --domain HOST:DIR  the mount to watch (needed when several run)\n"
     "\n"
     "Example:\n"
     "  corvane-fp watch --domain desk\n",
     runWatchCommand},
    {"pin", "pin PATH... | --list", "keep files and folders of a mount on this machine, readable offline",
     "Each PATH, a file or folder on a running mount, is fetched now and kept\n"
     "fetched as the peer changes it.\n"
     "\n"
     "Options:\n"
     "  --list  print what is pinned, one path a line, each with whether all of it\n"
     "          is here (every file is opened through the mount, as pin does);\n"
     "          status 1 when some pin is not complete\n"
     "\n"
     "Example:\n"
     "  corvane-fp pin ~/Desk/Projects\n",
     runPinCommand},
    {"unpin", "unpin PATH...", "let pinned files go back to being fetched when opened",
     "Example:\n"
     "  corvane-fp unpin ~/Desk/Projects\n",
     runUnpinCommand},
    {"forget", "forget [--discard-uploads] DOMAIN",
     "remove what this machine keeps for a domain: pins, logs, cache, host state",
     "For a domain no longer wanted, which doctor then stops listing. Refused while\n"
     "it is mounted or a corvane-vfs-host serves it, and while uploads of it are\n"
     "still queued (mounting it sends them).\n"
     "\n"
     "Options:\n"
     "  --discard-uploads  drop the uploads still queued, never sent\n"
     "\n"
     "Example:\n"
     "  corvane-fp forget laptop\n",
     runForgetCommand},
    {"install-service",
     "install-service [OPTIONS] DOMAIN --share DIR\n"
     "       corvane-fp install-service [OPTIONS] [--ssh-command CMD] [--remote-program PATH] [DOMAIN] "
     "[USER@]HOST:DIR",
     "write a systemd user unit that mounts the share at ~/Peers/NAME at every login",
     "Options:\n"
     "  --share DIR            serve DIR of this machine\n"
     "  --display-name NAME    the folder's name under ~/Peers (default: DOMAIN)\n"
     "  --ssh-command CMD      how to reach HOST (default: ssh)\n"
     "  --remote-program PATH  what to run on HOST (default: corvane-vfs-host)\n"
     "  --drain-timeout SECONDS  how long a stop waits for uploads (default: 60; the\n"
     "                         unit gives a stop 90 s in all)\n"
     "  --cache-max SIZE       the cache's budget, e.g. 2G (default: as for mount)\n"
     "\n"
     "The options go into the settings file the unit reads,\n"
     "$XDG_CONFIG_HOME/corvane/DOMAIN.env.\n"
     "\n"
     "Example:\n"
     "  corvane-fp install-service --cache-max 5G me@desk:Documents\n",
     runInstallServiceCommand},
    {"doctor", "doctor [--json]", "check this machine and each domain's state, and say what to fix",
     "Options:\n"
     "  --json  one JSON document instead of text\n"
     "\n"
     "Example:\n"
     "  corvane-fp doctor\n",
     runDoctorCommand},
    {"demo", "demo [--json]", "run the extension's calls against a sample share and print what they answer",
     "Options:\n"
     "  --json  one JSON document instead of text\n"
     "\n"
     "Example:\n"
     "  corvane-fp demo\n",
     runDemoCommand},
    {"script", "script [--domain ID] [--display-name TEXT] [--share DIR] [--app-groups DIR | --no-container]",
     "serve the extension to a script of requests on standard input, one JSON object a line",
     "Options:\n"
     "  --domain ID          the domain's id (default: \"sample\")\n"
     "  --display-name TEXT  the domain's display name\n"
     "  --share DIR          the folder the host serves (default: a sample share)\n"
     "  --app-groups DIR     where the app group's container is\n"
     "  --no-container       run without an app group's container\n"
     "\n"
     "Example:\n"
     "  echo '{\"op\":\"item\",\"id\":\"NSFileProviderRootContainerItemIdentifier\"}' | corvane-fp script\n",
     runScriptCommand},
    {"item", "item [--peer ID] [--path PATH] [--size N] [--modified-ms N]",
     "print the item the extension makes of a peer's file, as JSON",
     "Options:\n"
     "  --peer ID          the peer (default: p1)\n"
     "  --path PATH        the file's path from \"/\" (default: /Docs/a.txt)\n"
     "  --size N           its size in bytes (default: 42)\n"
     "  --modified-ms N    its modification time in milliseconds (default: 900)\n"
     "\n"
     "Example:\n"
     "  corvane-fp item --path /Notes/todo.md --size 120\n",
     runItemCommand},
};

void printUsage(std::FILE* to) {
  const char* lead = "usage: ";
  for (const Command& command : kCommands) {
    std::fprintf(to, "%scorvane-fp %s\n", lead, command.usage);
    lead = "       ";
  }
}

// What a bare corvane-fp prints: the commands, and where to learn more.
void printCommands() {
  std::printf("usage: corvane-fp COMMAND [ARGUMENTS]\n\nCommands:\n");
  for (const Command& command : kCommands) std::printf("  %-16s %s\n", command.name, command.summary);
  std::printf("\n'corvane-fp COMMAND --help' says more of one; 'corvane-fp --help' shows every usage.\n");
}

// Every command's help in turn: the manual page is made from it.
void printManual() {
  printUsage(stdout);
  std::printf(
      "\nMounts a paired device's shared folder, on this machine or another one reached over ssh,\n"
      "as a folder every program can use.\n");
  for (const Command& command : kCommands) {
    std::printf("\n%s: %s.\n  corvane-fp %s\n\n", command.name, command.summary, command.usage);
    for (std::string_view help = command.help; !help.empty();) {
      const auto end = help.find('\n');
      const auto line = help.substr(0, end);
      std::printf("%s%.*s\n", line.empty() ? "" : "  ", static_cast<int>(line.size()), line.data());
      help.remove_prefix(end == std::string_view::npos ? help.size() : end + 1);
    }
  }
}

void printHelp(const Command& command) {
  std::printf("usage: corvane-fp %s\n\n%s.\n\n%s", command.usage, command.summary, command.help);
}

// --help or -h anywhere before a "--" asks for the command's help.
bool asksForHelp(const Arguments& arguments) {
  for (const auto& argument : arguments) {
    if (argument == "--") return false;
    if (argument == "--help" || argument == "-h") return true;
  }
  return false;
}

int run(const Command& command, const Arguments& arguments) {
  if (asksForHelp(arguments)) {
    printHelp(command);
    return 0;
  }
  try {
    return command.run(arguments);
  } catch (const UsageError& mistake) {
    std::fprintf(stderr, "corvane-fp %s: %s\nTry 'corvane-fp %s --help'.\n", command.name, mistake.what(),
                 command.name);
    return 2;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A host that goes away mid-write must not end this process.
  std::signal(SIGPIPE, SIG_IGN);
  const Arguments all(argv + 1, argv + argc);
  if (all.empty()) {
    printCommands();
    return 0;
  }
  if (all[0] == "--help" || all[0] == "-h") {
    printUsage(stdout);
    std::printf("\n'corvane-fp COMMAND --help' says more of one; 'corvane-fp --help-all' of every one.\n");
    return 0;
  }
  if (all[0] == "--help-all") {
    printManual();
    return 0;
  }
  if (all[0] == "--version" || all[0] == "-V") {
    std::printf(
        "corvane-fp %s\n",
        foundation::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").value_or("").c_str());
    return 0;
  }
  for (const Command& command : kCommands) {
    if (all[0] == command.name) return run(command, Arguments(all.begin() + 1, all.end()));
  }
  std::fprintf(stderr, "corvane-fp: %s \"%s\"\nTry 'corvane-fp --help'.\n",
               all[0].starts_with("-") ? "unknown option" : "unknown command", all[0].c_str());
  return 2;
}

// `corvane-fp install-service DOMAIN --share DIR | [DOMAIN] [USER@]HOST:DIR ...`: puts the
// systemd user unit template in place, with this very program in its ExecStart,
// and writes the instance's settings file it reads. Starting it is left to
// systemctl, whose commands are printed.
#include "framework/commands/InstallServiceCommand.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "framework/commands/ServiceUnit.h"
#include "framework/mount/common/UserFolders.h"
#include "framework/mount/service/Preflight.h"
#include "host/stream/RemoteAddress.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserFolders.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

constexpr const char* kPrefix = "corvane-fp install-service: ";

int fail(const std::string& message) { return complain(kPrefix, message, 2); }

// A value of the settings file, double-quoted as systemd reads it.
std::string systemdQuoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::filesystem::path ownProgram() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path(kServiceUnitProgram) : self;
}

// The corvane-fp the service runs. Run from a build folder, an installed one
// is preferred when there is one (the first on PATH, else the default install
// or the Debian package's): a service must outlive a rebuild or a fresh clone.
std::filesystem::path serviceProgram() {
  const auto self = ownProgram();
  if (self.parent_path() != std::filesystem::path(kBuildProgramFolder)) return self;
  std::vector<std::filesystem::path> installed;
  if (auto found = onPath("corvane-fp")) installed.push_back(std::filesystem::absolute(*found));
  installed.insert(installed.end(), {kInstalledProgram, "/usr/bin/corvane-fp"});
  for (const auto& program : installed) {
    if (program.parent_path() != self.parent_path() && ::access(program.c_str(), X_OK) == 0) return program;
  }
  return self;
}

// The unit template with `program` as the corvane-fp it runs.
std::string serviceUnitText(const std::filesystem::path& program) {
  std::string unit = kServiceUnit;
  const std::string placeholder = kServiceUnitProgram;
  for (auto at = unit.find(placeholder); at != std::string::npos; at = unit.find(placeholder, at)) {
    unit.replace(at, placeholder.size(), program.string());
    at += program.string().size();
  }
  return unit;
}

// What the service mounts, as its settings file says it.
struct ServiceSource {
  std::string share;  // a folder of this machine, or another machine's address
  std::optional<std::string> sshCommand, remoteProgram;
  std::optional<std::string> drainTimeout, cacheMax;  // as the mount's options take them
};

int runInstallService(const std::string& domain, ServiceSource source, std::string displayName) {
  if (auto problem = domainProblem(domain)) return fail(problem->line());
  if (host::looksRemote(source.share)) {
    auto address = host::parseRemoteAddress(source.share);
    if (const std::string* mistake = std::get_if<std::string>(&address)) return fail(*mistake);
    source.share = std::get<host::RemoteAddress>(address).text();
  } else {
    if (source.sshCommand || source.remoteProgram) return fail("--ssh-command and --remote-program need HOST:DIR");
    std::error_code error;
    const auto folder = std::filesystem::absolute(source.share, error).lexically_normal();
    if (!std::filesystem::is_directory(folder, error)) return fail("share " + folder.string() + " is not a folder");
    source.share = folder.string();
  }
  if (displayName.empty()) displayName = domain;
  if (displayName == "." || displayName == ".." || displayName.find_first_of("/\n") != std::string::npos) {
    return fail("display name \"" + displayName + "\" cannot name a folder under ~/Peers");
  }
  const auto config = foundation::UserFolders::base(foundation::UserFolders::Kind::config);
  if (!config) return fail("set XDG_CONFIG_HOME or HOME to say where the service goes");

  const auto unitFile = *config / "systemd" / "user" / "corvane-fp@.service";
  const auto settings = *config / "corvane" / (domain + ".env");
  for (const auto& made : {unitFile.parent_path(), settings.parent_path()}) {
    if (int err = foundation::makePrivateFolders(made)) {
      return fail("cannot make " + made.string() + ": " + std::strerror(err));
    }
  }
  std::string env = "# corvane-fp@" + domain + ".service reads this; written by corvane-fp install-service\n" +
                    "CORVANE_SHARE=" + systemdQuoted(source.share) + "\n" +
                    "CORVANE_DISPLAY_NAME=" + systemdQuoted(displayName) + "\n";
  // Read from the environment by the host the mount starts, as when typed.
  if (source.sshCommand) env += "CORVANE_SSH_COMMAND=" + systemdQuoted(*source.sshCommand) + "\n";
  if (source.remoteProgram) env += "CORVANE_REMOTE_PROGRAM=" + systemdQuoted(*source.remoteProgram) + "\n";
  // Read by the mount as its own options.
  if (source.drainTimeout) env += "CORVANE_DRAIN_TIMEOUT=" + systemdQuoted(*source.drainTimeout) + "\n";
  if (source.cacheMax) env += "CORVANE_CACHE_MAX=" + systemdQuoted(*source.cacheMax) + "\n";
  const auto program = serviceProgram();
  for (const auto& [file, text] : {std::pair{unitFile, serviceUnitText(program)}, std::pair{settings, env}}) {
    if (auto written = foundation::FileManager::writeAtomically(file, foundation::dataFromString(text));
        !written.ok()) {
      return fail(written.error().localizedDescription());
    }
  }
  std::printf(
      "wrote %s (it runs %s)\nwrote %s\nstart it now and at every login with:\n"
      "  systemctl --user daemon-reload && systemctl --user enable --now corvane-fp@%s.service\n"
      "the folder is then ~/Peers/%s\n",
      unitFile.c_str(), program.c_str(), settings.c_str(), domain.c_str(), displayName.c_str());
  return 0;
}

}  // namespace

int runInstallServiceCommand(const Arguments& arguments) {
  std::vector<std::string> positional;
  ServiceSource source;
  bool haveShare = false;
  std::string displayName;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag == "--share") {
      source.share = reader.value(flag, "a folder"), haveShare = true;
    } else if (flag == "--display-name") {
      displayName = reader.value(flag, "a name");
    } else if (flag == "--ssh-command") {
      source.sshCommand = reader.value(flag, "a command");
    } else if (flag == "--remote-program") {
      source.remoteProgram = reader.value(flag, "a program");
    } else if (flag == "--drain-timeout") {
      const std::string& text = reader.value(flag, kDrainSeconds);
      if (!parseDrainSeconds(text)) ArgumentReader::invalid(flag, text, kDrainSeconds);
      source.drainTimeout = text;
    } else if (flag == "--cache-max") {
      const std::string& text = reader.value(flag, kCacheSize);
      if (!parseSize(text)) ArgumentReader::invalid(flag, text, kCacheSize);
      source.cacheMax = text;
    } else if (!flag.empty() && flag[0] != '-' && positional.size() < 2) {
      positional.push_back(flag);
    } else {
      ArgumentReader::unexpected(flag);
    }
  }
  // DOMAIN --share DIR, DOMAIN HOST:DIR, or HOST:DIR alone with the domain the mount would give it.
  std::string domain;
  if (positional.size() == 2 && !haveShare && host::looksRemote(positional[1])) {
    domain = positional[0], source.share = positional[1];
  } else if (positional.size() == 1 && haveShare) {
    domain = positional[0];
  } else if (positional.size() == 1 && host::looksRemote(positional[0])) {
    auto address = host::parseRemoteAddress(positional[0]);
    if (const std::string* mistake = std::get_if<std::string>(&address)) return fail(*mistake);
    domain = std::get<host::RemoteAddress>(address).defaultDomain(), source.share = positional[0];
  } else if (positional.empty()) {
    throw UsageError("a DOMAIN with --share DIR, or a [USER@]HOST:DIR, is needed");
  } else {
    throw UsageError(haveShare ? "--share takes the place of HOST:DIR: give DOMAIN --share DIR"
                               : "give DOMAIN --share DIR, DOMAIN [USER@]HOST:DIR or [USER@]HOST:DIR");
  }
  return runInstallService(domain, std::move(source), displayName);
}

}  // namespace corvane::framework::commands

// `corvane-fp install-service DOMAIN --share DIR [--display-name NAME]`: puts the
// systemd user unit template in place, with this very program in its ExecStart,
// and writes the instance's settings file it reads. Starting it is left to
// systemctl, whose commands are printed.
#include "framework/commands/InstallServiceCommand.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/commands/ServiceUnit.h"
#include "framework/mount/common/UserFolders.h"
#include "framework/mount/service/Preflight.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserFolders.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

constexpr const char* kPrefix = "corvane-fp install-service: ";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s%s\n", kPrefix, message.c_str());
  return 2;
}

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


int runInstallService(const std::string& domain, const std::filesystem::path& share, std::string displayName) {
  // A service's domain is also a unit's instance name, which takes fewer characters.
  if (domainProblem(domain) || domain.size() > 200 ||
      domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._:-") !=
          std::string::npos) {
    return fail("a service needs a domain of letters, digits, '.', '_', ':' and '-' (and not \"host\")");
  }
  std::error_code error;
  const auto folder = std::filesystem::absolute(share, error).lexically_normal();
  if (!std::filesystem::is_directory(folder, error)) return fail("share " + folder.string() + " is not a folder");
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
  const std::string env = "# corvane-fp@" + domain + ".service reads this; written by corvane-fp install-service\n" +
                          "CORVANE_SHARE=" + systemdQuoted(folder.string()) + "\n" +
                          "CORVANE_DISPLAY_NAME=" + systemdQuoted(displayName) + "\n";
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
  if (arguments.empty() || arguments[0].empty() || arguments[0][0] == '-') return kBadArguments;
  std::string share, displayName;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (i + 1 >= arguments.size()) return kBadArguments;
    if (arguments[i] == "--share") {
      share = arguments[++i];
    } else if (arguments[i] == "--display-name") {
      displayName = arguments[++i];
    } else {
      return kBadArguments;
    }
  }
  if (share.empty()) return kBadArguments;
  return runInstallService(arguments[0], share, displayName);
}

}  // namespace corvane::framework::commands

// `corvane-fp doctor [--json]`: looks over everything a mount depends on and
// says, one line per check, what is wrong and what to do about it.
#include "framework/commands/DoctorCommand.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/mount/MountStatus.h"
#include "framework/mount/cache/MaterializedCache.h"
#include "framework/mount/common/UserFolders.h"
#include "framework/mount/service/LogBound.h"
#include "framework/mount/service/Preflight.h"
#include "host/HostLocations.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FolderContents.h"
#include "platform/xpc/Socket.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/CorvaneFpLogFile.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

struct Check {
  std::string name;
  bool ok = true;
  std::string detail;
  std::string fix;  // what to do, when not ok
};

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode & 0777));
  return text;
}

std::string gib(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", bytes / double(1ull << 30));
  return text;
}

// A folder the project keeps private: fine when missing (the first mount makes it).
Check privateFolder(const std::string& name, const std::optional<std::filesystem::path>& folder) {
  if (!folder) return {name, false, "no place for it", "set HOME (or the XDG variable for it)"};
  struct stat st {};
  if (::lstat(folder->c_str(), &st) != 0) return {name, true, folder->string() + " (made on the first mount)", ""};
  if (!S_ISDIR(st.st_mode)) return {name, false, folder->string() + " is not a folder", "remove it"};
  if (st.st_uid != ::geteuid()) {
    return {name, false, folder->string() + " belongs to uid " + std::to_string(st.st_uid), "remove it, or chown it"};
  }
  if (st.st_mode & 077) {
    return {name, false, folder->string() + " is mode " + octal(st.st_mode) + ", open to others",
            "chmod 700 '" + folder->string() + "'"};
  }
  return {name, true, folder->string() + " (700)", ""};
}

// The event log: how big (with the older file a mount keeps), and the last
// warning or error it holds, which is what a user looks for there.
std::optional<Check> eventLogCheck() {
  auto logs = CorvaneFpLog::logsDirectory();
  if (!logs) return std::nullopt;
  const auto file = *logs / CorvaneFpLogFile::kFileName;
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) return Check{"event log", true, file.string() + " (not written yet)", ""};
  const auto older = std::filesystem::file_size(LogBound::olderOf(file), error);
  const std::uintmax_t total = size + (error ? 0 : older);
  std::string said = "no warning or error";
  for (const auto& log : {LogBound::olderOf(file), file}) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      if (line.find(R"("level":"WARN")") == std::string::npos && line.find(R"("level":"ERROR")") == std::string::npos) {
        continue;
      }
      auto record = nlohmann::json::parse(line, nullptr, false);
      if (!record.is_object()) continue;
      said = "last " + record.value("level", "") + " " + record.value("event", "") + " " + record.value("detail", "") +
             " at " + record.value("ts", "");
    }
  }
  const bool big = total > 4 * kLogMaxBytes;
  return Check{"event log", !big, file.string() + ": " + std::to_string(total / 1024) + " KiB, " + said,
               big ? "no running mount keeps it bounded: start one, or move the log away" : ""};
}

// Names in the share of `domain` that its host on this machine cannot show
// (they are not UTF-8), as the host last counted them.
std::optional<Check> unshareableCheck(const std::filesystem::path& state, const std::string& domain) {
  auto bytes = foundation::FileManager::contentsOf(host::unshareableNamesFile(state / kHostFolderName, domain));
  if (!bytes.ok()) return std::nullopt;
  const auto report = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
  if (!report.is_object() || !report.contains("count") || !report["count"].is_number_unsigned()) return std::nullopt;
  const auto count = report["count"].get<std::uint64_t>();
  if (count == 0) return std::nullopt;
  std::string examples;
  if (report.contains("examples") && report["examples"].is_array()) {
    for (const auto& example : report["examples"]) {
      if (example.is_string()) examples += (examples.empty() ? ": " : ", ") + example.get<std::string>();
    }
  }
  return Check{"domain " + domain + " names", false,
               std::to_string(count) + " names in the share are hidden, not being UTF-8" + examples,
               "rename them on the peer's side to UTF-8 names (convmv does it for a whole tree)"};
}

// Each mount running, whether its host has connected, names its share hides,
// and the domains with state here that are not mounted.
void addMountChecks(std::vector<Check>& checks, const std::optional<std::filesystem::path>& state) {
  std::set<std::string> mounted;
  for (const auto& mount : readStatuses()) {
    mounted.insert(mount.domain);
    const std::string name = "domain " + mount.domain;
    if (mount.linkPhase == "ready") {
      checks.push_back({name, true, "mounted at " + mount.mountPoint + ", host connected", ""});
    } else if (mount.linkPhase == "unresponsive") {
      const std::string pid = mount.hostPid > 0 ? " (pid " + std::to_string(mount.hostPid) + ")" : "";
      checks.push_back({name, false, "mounted at " + mount.mountPoint + ", but its host" + pid + " stopped answering",
                        mount.hostPid > 0
                            ? "kill -CONT a host that was stopped; kill one that hangs, and the mount starts it again"
                            : "kill -CONT a host that was stopped; start one that hangs again"});
    } else {
      checks.push_back({name, false, "mounted at " + mount.mountPoint + ", but no host has connected",
                        "start corvane-vfs-host --peer " + mount.domain + "=DIR, or mount with --share DIR"});
    }
    if (const auto& remote = mount.remote) {
      char trip[32] = "";
      if (remote->roundTripMs) std::snprintf(trip, sizeof trip, ", round trip %.1f ms", *remote->roundTripMs);
      checks.push_back({name + " link", remote->up,
                        "share on " + remote->address +
                            (remote->up ? std::string(": link up") + trip : ": link down: " + remote->why),
                        remote->up ? "" : "check that `ssh HOST` works from this machine; the mount keeps trying"});
    }
    if (std::size_t failed =
            std::count_if(mount.queued.begin(), mount.queued.end(), [](auto& q) { return q.failed; })) {
      checks.push_back({name + " uploads", false, std::to_string(failed) + " uploads the peer refused",
                        "see corvane-fp status --domain " + mount.domain});
    }
    if (state) {
      if (auto hidden = unshareableCheck(*state, mount.domain)) checks.push_back(std::move(*hidden));
    }
  }
  if (!state) return;
  std::error_code error;
  for (const auto& folder : foundation::contentsOfFolder(*state)) {
    const std::string domain = folder.filename().string();
    // "host" holds the host's own journal; no domain may take that name.
    if (std::filesystem::is_directory(folder, error) && domain != kHostFolderName && !mounted.count(domain)) {
      checks.push_back({"domain " + domain, true, "not mounted (corvane-fp forget " + domain + " removes it)", ""});
    }
  }
}

// Free space against the cache's floor: below it every fetch evicts.
std::optional<Check> freeSpaceCheck(const std::filesystem::path& cache) {
  std::error_code error;
  std::filesystem::path probe = cache;
  while (!std::filesystem::exists(probe, error) && probe.has_parent_path() && probe != probe.parent_path()) {
    probe = probe.parent_path();
  }
  struct statvfs fs {};
  if (::statvfs(probe.c_str(), &fs) != 0) return std::nullopt;
  const auto limits = MaterializedCache::defaultLimits(probe);
  const std::uint64_t free = std::uint64_t(fs.f_bavail) * fs.f_frsize;
  const bool enough = free >= limits.minFree;
  return Check{"free space", enough,
               gib(free) + " free where the cache is; the cache may take " + gib(limits.maxBytes) + " and leaves " +
                   gib(limits.minFree) + " free",
               enough ? "" : "free some space, or mount with a smaller --cache-min-free"};
}

std::vector<Check> runChecks() {
  std::vector<Check> checks;
  auto check = [&](const char* name, std::optional<Problem> problem, const std::string& fine) {
    checks.push_back(problem ? Check{name, false, problem->what, problem->advice} : Check{name, true, fine, ""});
  };
  check("fuse", fuseDeviceProblem(), "/dev/fuse is usable");
  check("fusermount3", fusermountProblem(), "on PATH");

  checks.push_back(privateFolder("runtime folder", xpc::socket::runtimeDirectory()));
  auto state = corvaneFolder(foundation::UserFolders::Kind::state);
  auto cache = corvaneFolder(foundation::UserFolders::Kind::cache);
  checks.push_back(privateFolder("state folder", state));
  checks.push_back(privateFolder("cache folder", cache));
  auto container = foundation::FileManager::containerURL(std::string(CorvaneFpLog::appGroupId));
  checks.push_back(privateFolder("App Group container", container));
  if (auto log = eventLogCheck()) checks.push_back(std::move(*log));
  addMountChecks(checks, state);
  if (cache) {
    if (auto space = freeSpaceCheck(*cache)) checks.push_back(std::move(*space));
  }
  return checks;
}


int runDoctor(bool json) {
  const auto checks = runChecks();
  bool allOk = true;
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const auto& check : checks) {
    allOk = allOk && check.ok;
    if (json) {
      out.push_back({{"check", check.name}, {"ok", check.ok}, {"detail", check.detail}, {"fix", check.fix}});
    } else {
      std::cout << (check.ok ? "ok    " : "FAIL  ") << check.name << ": " << check.detail;
      if (!check.ok && !check.fix.empty()) std::cout << " -> " << check.fix;
      std::cout << "\n";
    }
  }
  if (json) std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return allOk ? 0 : 1;
}

}  // namespace

int runDoctorCommand(const Arguments& arguments) {
  for (const auto& argument : arguments) {
    if (argument != "--json") ArgumentReader::unexpected(argument);
  }
  return runDoctor(!arguments.empty());
}

}  // namespace corvane::framework::commands

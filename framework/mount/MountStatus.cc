#include "framework/mount/MountStatus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "framework/mount/common/Counted.h"
#include "host/HostLocations.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FolderContents.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/xpc/Socket.h"

namespace corvane::framework::mount {

namespace {

nlohmann::ordered_json queuedJson(const std::vector<QueuedUploadStatus>& queued) {
  auto out = nlohmann::ordered_json::array();
  for (const auto& upload : queued) {
    out.push_back({{"path", upload.path},
                   {"size", upload.size},
                   {"attempts", upload.attempts},
                   {"lastError", upload.lastError},
                   {"failed", upload.failed}});
  }
  return out;
}

nlohmann::ordered_json conflictsJson(const std::vector<ConflictStatus>& conflicts) {
  auto out = nlohmann::ordered_json::array();
  for (const auto& conflict : conflicts) out.push_back({{"path", conflict.path}, {"copy", conflict.copy}});
  return out;
}

nlohmann::ordered_json toJson(const MountStatus& status) {
  nlohmann::ordered_json out = {{"domain", status.domain},
                                {"mountPoint", status.mountPoint},
                                {"pid", status.pid},
                                {"hostPid", status.hostPid},
                                {"linkPhase", status.linkPhase},
                                {"cacheBytes", status.cacheBytes},
                                {"pendingUploads", status.pendingUploads},
                                {"queued", queuedJson(status.queued)},
                                {"conflicts", conflictsJson(status.conflicts)}};
  if (status.remote) {
    out["remote"] = {{"address", status.remote->address},
                     {"up", status.remote->up},
                     {"roundTripMs", status.remote->roundTripMs ? nlohmann::ordered_json(*status.remote->roundTripMs)
                                                                : nlohmann::ordered_json(nullptr)},
                     {"why", status.remote->why}};
  }
  return out;
}

// What the host of `domain` last said of its stream, when its share is elsewhere.
std::optional<RemoteLinkStatus> remoteLinkOf(const std::string& domain) {
  auto state = host::defaultStateDirectory();
  if (!state) return std::nullopt;
  std::ifstream in(host::remoteLinkFile(*state, domain));
  if (!in) return std::nullopt;
  auto json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object() || !json.contains("address") || !json["address"].is_string()) return std::nullopt;
  RemoteLinkStatus link;
  link.address = json["address"].get<std::string>();
  link.up = json.contains("up") && json["up"].is_boolean() && json["up"].get<bool>();
  if (json.contains("roundTripMs") && json["roundTripMs"].is_number())
    link.roundTripMs = json["roundTripMs"].get<double>();
  if (json.contains("why") && json["why"].is_string()) link.why = json["why"].get<std::string>();
  return link;
}

}  // namespace

std::filesystem::path statusFolder() { return xpc::socket::runtimeDirectory() / "mounts"; }

foundation::Status writeStatus(const MountStatus& status) {
  const auto folder = statusFolder();
  if (auto made = xpc::socket::ensurePrivateDirectory(folder); !made.ok()) return made;
  const std::string text = toJson(status).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // Rewritten at every close in a burst, and gone with a reboot anyway: whole
  // to a reader, never waited on to be durable.
  return foundation::FileManager::replaceContents(folder / (status.domain + ".json"),
                                                  foundation::Data(text.begin(), text.end()));
}

void removeStatus(const std::string& domain) {
  std::error_code ignored;
  std::filesystem::remove(statusFolder() / (domain + ".json"), ignored);
  std::filesystem::remove(remoteChangesPath(domain), ignored);
}

bool processAlive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

std::filesystem::path remoteChangesPath(const std::string& domain) {
  return statusFolder() / (domain + ".changes.jsonl");
}

void appendRemoteChanges(const std::string& domain, const std::vector<std::string>& lines) {
  if (lines.empty() || !xpc::socket::ensurePrivateDirectory(statusFolder()).ok()) return;
  const auto path = remoteChangesPath(domain);
  foundation::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd.valid()) return;
  struct stat st {};
  // A watcher that finds the file shorter starts again from its beginning.
  if (::fstat(fd.get(), &st) == 0 && st.st_size > (4 << 20)) (void)::ftruncate(fd.get(), 0);
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  (void)!::write(fd.get(), text.data(), text.size());
}

int watchRemoteChanges(const std::string& domain, std::ostream& out) {
  std::vector<MountStatus> chosen;
  for (auto& status : readStatuses()) {
    if (domain.empty() || status.domain == domain) chosen.push_back(std::move(status));
  }
  if (chosen.size() != 1) {
    std::fprintf(stderr, "corvane-fp watch: %s\n",
                 chosen.empty()
                     ? (domain.empty() ? "no domain is mounted" : ("domain \"" + domain + "\" is not mounted").c_str())
                     : "several domains are mounted; say which with --domain");
    return 1;
  }
  const auto path = remoteChangesPath(chosen[0].domain);
  std::error_code error;
  auto offset = std::filesystem::file_size(path, error);
  if (error) offset = 0;
  std::string pending;
  while (processAlive(chosen[0].pid)) {
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size < offset) offset = 0;
    if (!error && size > offset) {
      std::ifstream in(path, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(offset));
      std::string chunk(size - offset, '\0');
      in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.resize(static_cast<std::size_t>(in.gcount()));
      offset += chunk.size();
      pending += chunk;
      const auto end = pending.rfind('\n');
      if (end != std::string::npos) {
        out << pending.substr(0, end + 1) << std::flush;
        pending.erase(0, end + 1);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return 0;
}

namespace {

// A member of a status file, or `fallback` when it is missing or of another
// type: a file another version wrote, or one cut short, must not end `status`.
template <typename T>
T field(const nlohmann::json& object, const char* key, T fallback) {
  const auto found = object.find(key);
  if (found == object.end()) return fallback;
  if constexpr (std::is_same_v<T, std::string>) {
    return found->is_string() ? found->template get<std::string>() : fallback;
  } else if constexpr (std::is_same_v<T, bool>) {
    return found->is_boolean() ? found->template get<bool>() : fallback;
  } else if constexpr (std::is_same_v<T, nlohmann::json>) {
    return found->is_array() ? *found : fallback;
  } else {
    return found->is_number_integer() ? found->template get<T>() : fallback;
  }
}

}  // namespace

std::vector<MountStatus> readStatuses() {
  std::vector<MountStatus> out;
  for (const auto& file : foundation::contentsOfFolder(statusFolder())) {
    if (file.extension() != ".json") continue;
    std::ifstream in(file);
    auto json = nlohmann::json::parse(in, nullptr, false);
    if (!json.is_object()) continue;
    MountStatus status;
    status.domain = field(json, "domain", std::string());
    status.mountPoint = field(json, "mountPoint", std::string());
    status.pid = field(json, "pid", pid_t{0});
    status.hostPid = field(json, "hostPid", pid_t{0});
    status.linkPhase = field(json, "linkPhase", std::string());
    status.cacheBytes = field(json, "cacheBytes", std::uint64_t{0});
    status.pendingUploads = field(json, "pendingUploads", std::uint64_t{0});
    for (const auto& upload : field(json, "queued", nlohmann::json::array())) {
      if (!upload.is_object()) continue;
      status.queued.push_back({field(upload, "path", std::string()), field(upload, "size", std::uint64_t{0}),
                               field(upload, "attempts", std::uint32_t{0}), field(upload, "lastError", std::string()),
                               field(upload, "failed", false)});
    }
    for (const auto& conflict : field(json, "conflicts", nlohmann::json::array())) {
      if (conflict.is_object()) {
        status.conflicts.push_back({field(conflict, "path", std::string()), field(conflict, "copy", std::string())});
      }
    }
    // A mount killed outright leaves its file behind; its pid is gone.
    if (status.pid <= 0 || !processAlive(status.pid)) continue;
    status.remote = remoteLinkOf(status.domain);
    out.push_back(std::move(status));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.domain < b.domain; });
  return out;
}

int printStatus(const std::vector<MountStatus>& statuses, bool json, const std::string& onlyDomain, std::ostream& out) {
  std::vector<const MountStatus*> shown;
  for (const auto& status : statuses) {
    if (onlyDomain.empty() || status.domain == onlyDomain) shown.push_back(&status);
  }
  if (json) {
    auto list = nlohmann::ordered_json::array();
    for (const auto* status : shown) list.push_back(toJson(*status));
    out << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else if (shown.empty()) {
    out << (onlyDomain.empty() ? "no domain is mounted\n" : "domain \"" + onlyDomain + "\" is not mounted\n");
  } else {
    for (const auto* status : shown) {
      out << status->domain << " on " << status->mountPoint << ": link " << status->linkPhase << ", host pid "
          << (status->hostPid ? std::to_string(status->hostPid) : std::string("none")) << ", cache "
          << status->cacheBytes << " bytes, " << counted(status->pendingUploads, "upload") << " queued (mount pid "
          << status->pid << ")\n";
      if (const auto& remote = status->remote) {
        char trip[32] = "";
        if (remote->roundTripMs) std::snprintf(trip, sizeof trip, ", round trip %.1f ms", *remote->roundTripMs);
        out << "  share on " << remote->address << ": "
            << (remote->up ? std::string("link up") + trip : "link down: " + remote->why) << "\n";
      }
      for (const auto& upload : status->queued) {
        out << "  " << (upload.failed ? "failed: " : "queued: ") << upload.path << " (" << upload.size << " bytes, "
            << upload.attempts << " attempts" << (upload.lastError.empty() ? "" : ", last error: " + upload.lastError)
            << ")\n";
      }
      for (const auto& conflict : status->conflicts) {
        out << "  conflict: " << conflict.path << " changed on both sides; the local version is \"" << conflict.copy
            << "\"\n";
      }
    }
  }
  return onlyDomain.empty() || !shown.empty() ? 0 : 1;
}

}  // namespace corvane::framework::mount

#include "framework/mount/MountStatus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "framework/mount/common/Counted.h"
#include "host/HostLocations.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FolderContents.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/xpc/Socket.h"

namespace corvane::framework::mount {

namespace {

template <typename T>
nlohmann::ordered_json orNull(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

void addProgress(nlohmann::ordered_json& out, const TransferProgress& progress) {
  out["bytesDone"] = orNull(progress.bytesDone);
  out["bytesPerSecond"] = orNull(progress.bytesPerSecond);
  out["secondsLeft"] = orNull(progress.secondsLeft);
}

nlohmann::ordered_json queuedJson(const std::vector<QueuedUploadStatus>& queued) {
  auto out = nlohmann::ordered_json::array();
  for (const auto& upload : queued) {
    nlohmann::ordered_json one = {{"path", upload.path},
                                  {"size", upload.size},
                                  {"attempts", upload.attempts},
                                  {"lastError", upload.lastError},
                                  {"failed", upload.failed},
                                  {"sending", upload.sendingSinceMs != 0},
                                  {"sendingSinceMs", upload.sendingSinceMs}};
    addProgress(one, upload.progress);
    out.push_back(std::move(one));
  }
  return out;
}

nlohmann::ordered_json downloadsJson(const std::vector<DownloadStatus>& downloads) {
  auto out = nlohmann::ordered_json::array();
  for (const auto& download : downloads) {
    nlohmann::ordered_json one = {{"path", download.path}, {"size", download.size}, {"startedMs", download.startedMs}};
    addProgress(one, download.progress);
    out.push_back(std::move(one));
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
                                {"downloads", downloadsJson(status.downloads)},
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

// Every transfer the host of `domain` lists; an empty array when it lists none.
nlohmann::json hostTransfersOf(const std::string& domain) {
  std::ifstream in(host::transfersFile(xpc::socket::runtimeDirectory(), domain));
  if (!in) return nlohmann::json::array();
  auto json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object() || !json.contains("transfers") || !json["transfers"].is_array()) {
    return nlohmann::json::array();
  }
  return json["transfers"];
}

}  // namespace

std::string transferLine(const std::string& domain, const std::string& kind, const char* state, const std::string& path,
                         std::uint64_t size, const TransferProgress& progress) {
  nlohmann::ordered_json line = {
      {"domain", domain}, {"transfer", kind}, {"state", state}, {"path", path}, {"size", size}};
  addProgress(line, progress);
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

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

// What the host says of the transfer of `path` begun at or after `sinceMs`
// (so that a list a host killed outright left behind is not taken for it).
TransferProgress progressOf(const nlohmann::json& transfers, const char* direction, const std::string& path,
                            std::int64_t sinceMs) {
  // The host starts counting once the mount's call reaches it.
  constexpr std::int64_t kSlackMs = 2000;
  TransferProgress out;
  for (const auto& transfer : transfers) {
    if (!transfer.is_object() || field(transfer, "direction", std::string()) != direction ||
        field(transfer, "path", std::string()) != path) {
      continue;
    }
    const auto started = field(transfer, "startedMs", std::int64_t{0});
    if (started + kSlackMs < sinceMs) continue;
    const auto size = field(transfer, "size", std::uint64_t{0});
    const auto done = std::min(size, field(transfer, "done", std::uint64_t{0}));
    out.bytesDone = done;
    const double seconds = (foundation::currentMilliseconds() - started) / 1000.0;
    // Over a moment's work a rate says nothing true.
    if (seconds >= 0.5) {
      out.bytesPerSecond = done / seconds;
      if (done > 0) out.secondsLeft = (size - done) / *out.bytesPerSecond;
    }
  }
  return out;
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
      status.queued.push_back({field(upload, "path", std::string()),
                               field(upload, "size", std::uint64_t{0}),
                               field(upload, "attempts", std::uint32_t{0}),
                               field(upload, "lastError", std::string()),
                               field(upload, "failed", false),
                               field(upload, "sendingSinceMs", std::int64_t{0}),
                               {}});
    }
    for (const auto& download : field(json, "downloads", nlohmann::json::array())) {
      if (!download.is_object()) continue;
      status.downloads.push_back({field(download, "path", std::string()),
                                  field(download, "size", std::uint64_t{0}),
                                  field(download, "startedMs", std::int64_t{0}),
                                  {}});
    }
    for (const auto& conflict : field(json, "conflicts", nlohmann::json::array())) {
      if (conflict.is_object()) {
        status.conflicts.push_back({field(conflict, "path", std::string()), field(conflict, "copy", std::string())});
      }
    }
    // A mount killed outright leaves its file behind; its pid is gone.
    if (status.pid <= 0 || !processAlive(status.pid)) continue;
    status.remote = remoteLinkOf(status.domain);
    if (status.remote) {
      const auto transfers = hostTransfersOf(status.domain);
      for (auto& upload : status.queued) {
        if (upload.sendingSinceMs)
          upload.progress = progressOf(transfers, "upload", upload.path, upload.sendingSinceMs);
      }
      for (auto& download : status.downloads) {
        download.progress = progressOf(transfers, "fetch", download.path, download.startedMs);
      }
    }
    out.push_back(std::move(status));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.domain < b.domain; });
  return out;
}

namespace {

// "1.2 MiB of 4.0 MiB, 30%, 2.5 MiB/s, about 2 s left" when the host says how
// far it came, else the size and how long it has taken so far.
std::string progressText(std::uint64_t size, const TransferProgress& progress, std::int64_t sinceMs) {
  std::string text;
  if (progress.bytesDone) {
    text = humanBytes(static_cast<double>(*progress.bytesDone)) + " of " + humanBytes(static_cast<double>(size));
    if (size) text += ", " + std::to_string(*progress.bytesDone * 100 / size) + "%";
    if (progress.bytesPerSecond) text += ", " + humanBytes(*progress.bytesPerSecond) + "/s";
    if (progress.secondsLeft) text += ", about " + std::to_string(std::llround(*progress.secondsLeft)) + " s left";
    return text;
  }
  text = humanBytes(static_cast<double>(size));
  if (sinceMs)
    text += ", for " + std::to_string(std::max<std::int64_t>(0, (foundation::currentMilliseconds() - sinceMs) / 1000)) +
            " s";
  return text;
}

}  // namespace

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
        if (upload.sendingSinceMs && !upload.failed) {
          out << "  sending: " << upload.path << " ("
              << progressText(upload.size, upload.progress, upload.sendingSinceMs)
              << (upload.attempts ? ", attempt " + std::to_string(upload.attempts + 1) : "") << ")\n";
          continue;
        }
        out << "  " << (upload.failed ? "failed: " : "queued: ") << upload.path << " (" << upload.size << " bytes, "
            << counted(upload.attempts, "attempt")
            << (upload.lastError.empty() ? "" : ", last error: " + upload.lastError) << ")\n";
      }
      for (const auto& download : status->downloads) {
        out << "  fetching: " << download.path << " ("
            << progressText(download.size, download.progress, download.startedMs) << ")\n";
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

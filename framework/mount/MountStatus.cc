#include "framework/mount/MountStatus.h"

#include <signal.h>

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/foundation/FileManager.h"
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
  return {{"domain", status.domain},
          {"mountPoint", status.mountPoint},
          {"pid", status.pid},
          {"hostPid", status.hostPid},
          {"linkPhase", status.linkPhase},
          {"cacheBytes", status.cacheBytes},
          {"pendingUploads", status.pendingUploads},
          {"queued", queuedJson(status.queued)},
          {"conflicts", conflictsJson(status.conflicts)}};
}

}  // namespace

std::filesystem::path statusFolder() { return xpc::socket::runtimeDirectory() / "mounts"; }

foundation::Status writeStatus(const MountStatus& status) {
  const auto folder = statusFolder();
  if (auto made = xpc::socket::ensurePrivateDirectory(folder); !made.ok()) return made;
  const std::string text = toJson(status).dump() + "\n";
  return foundation::FileManager::writeAtomically(folder / (status.domain + ".json"),
                                                  foundation::Data(text.begin(), text.end()));
}

void removeStatus(const std::string& domain) {
  std::error_code ignored;
  std::filesystem::remove(statusFolder() / (domain + ".json"), ignored);
}

std::vector<MountStatus> readStatuses() {
  std::vector<MountStatus> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(statusFolder(), error)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    auto json = nlohmann::json::parse(in, nullptr, false);
    if (!json.is_object()) continue;
    MountStatus status;
    status.domain = json.value("domain", "");
    status.mountPoint = json.value("mountPoint", "");
    status.pid = json.value("pid", 0);
    status.hostPid = json.value("hostPid", 0);
    status.linkPhase = json.value("linkPhase", "");
    status.cacheBytes = json.value("cacheBytes", std::uint64_t{0});
    status.pendingUploads = json.value("pendingUploads", std::uint64_t{0});
    for (const auto& upload : json.value("queued", nlohmann::json::array())) {
      if (!upload.is_object()) continue;
      status.queued.push_back({upload.value("path", ""), upload.value("size", std::uint64_t{0}),
                               upload.value("attempts", std::uint32_t{0}), upload.value("lastError", ""),
                               upload.value("failed", false)});
    }
    for (const auto& conflict : json.value("conflicts", nlohmann::json::array())) {
      if (conflict.is_object()) status.conflicts.push_back({conflict.value("path", ""), conflict.value("copy", "")});
    }
    // A mount killed outright leaves its file behind; its pid is gone.
    if (status.pid <= 0 || ::kill(status.pid, 0) != 0) continue;
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
    out << list.dump(2) << '\n';
  } else if (shown.empty()) {
    out << (onlyDomain.empty() ? "no domain is mounted\n" : "domain \"" + onlyDomain + "\" is not mounted\n");
  } else {
    for (const auto* status : shown) {
      out << status->domain << " on " << status->mountPoint << ": link " << status->linkPhase << ", host pid "
          << (status->hostPid ? std::to_string(status->hostPid) : std::string("none")) << ", cache "
          << status->cacheBytes << " bytes, " << status->pendingUploads << " uploads queued (mount pid " << status->pid
          << ")\n";
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

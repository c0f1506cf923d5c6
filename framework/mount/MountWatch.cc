#include "framework/mount/MountWatch.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace corvane::framework::mount {

std::vector<std::string> TransferLines::next(const MountStatus& status) {
  std::vector<std::string> out;
  std::map<std::pair<std::string, std::string>, Shown> now;
  auto see = [&](const std::string& kind, const std::string& path, std::uint64_t size,
                 const TransferProgress& progress) {
    auto key = std::make_pair(kind, path);
    const auto before = shown_.find(key);
    if (before == shown_.end()) {
      out.push_back(transferLine(status.domain, kind, "started", path, size, progress));
    } else if (progress.bytesDone && progress.bytesDone != before->second.bytesDone) {
      out.push_back(transferLine(status.domain, kind, "progress", path, size, progress));
    }
    now[key] = {size, progress.bytesDone};
  };
  for (const auto& upload : status.queued) {
    if (upload.sendingSinceMs && !upload.failed) see("upload", upload.path, upload.size, upload.progress);
  }
  for (const auto& download : status.downloads) see("download", download.path, download.size, download.progress);
  for (const auto& [key, shown] : shown_) {
    if (!now.count(key)) out.push_back(transferLine(status.domain, key.first, "ended", key.second, shown.size, {}));
  }
  shown_ = std::move(now);
  return out;
}

int watchMount(const std::string& domain, std::ostream& out) {
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
  const MountStatus watched = chosen[0];
  const auto path = remoteChangesPath(watched.domain);
  std::error_code error;
  auto offset = std::filesystem::file_size(path, error);
  if (error) offset = 0;
  std::string pending;
  TransferLines transfers;
  // Transfers under way at the start are told as started: the watcher sees them first then.
  for (const auto& text : transfers.next(watched)) out << text << '\n';
  out << std::flush;
  for (int round = 1; processAlive(watched.pid); ++round) {
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
    // The status is rewritten every round of the mount's poll; once a second
    // is often enough to catch each.
    if (round % 5 == 0) {
      for (const auto& status : readStatuses()) {
        if (status.domain != watched.domain || status.pid != watched.pid) continue;
        for (const auto& text : transfers.next(status)) out << text << '\n';
        out << std::flush;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return 0;
}

}  // namespace corvane::framework::mount

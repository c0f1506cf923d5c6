#include "framework/mount/cache/PinSet.h"

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "framework/mount/common/PosixError.h"
#include "framework/mount/common/UserFolders.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Utf8.h"
#include "shared/items/FileProviderItemIdentifierCodec.h"

namespace corvane::framework::mount {

namespace {

bool validPath(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  if (!foundation::isValidUtf8(path)) return false;  // no such name is ever on the mount
  for (const auto& part : std::filesystem::path(path).relative_path()) {
    if (part == "." || part == "..") return false;
  }
  return path == "/" || path.back() != '/';
}

}  // namespace

std::optional<std::filesystem::path> PinSet::fileFor(const std::string& domain) {
  auto state = domainStateFolder(domain);
  if (!state) return std::nullopt;
  return *state / "pins.json";
}

foundation::Result<std::vector<std::string>> PinSet::read(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return std::vector<std::string>{};
  auto bytes = foundation::FileManager::contentsOf(file);
  if (!bytes.ok()) return bytes.error();
  const auto parsed = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
  std::vector<std::string> out;
  if (parsed.is_object() && parsed.size() == 1 && parsed.contains("paths") && parsed["paths"].is_array()) {
    for (const auto& path : parsed["paths"]) {
      if (!path.is_string() || !validPath(path.get<std::string>()))
        return posixError(EINVAL, file.string() + " names a bad path");
      out.push_back(path.get<std::string>());
    }
    return out;
  }
  return posixError(EINVAL, file.string() + " is not a pin list");
}

foundation::Status PinSet::write(const std::filesystem::path& file, std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  for (const auto& path : paths) {
    if (!validPath(path)) return posixError(EINVAL, "cannot pin " + path);
  }
  if (int err = foundation::makePrivateFolders(file.parent_path())) {
    return posixError(err, "cannot make " + file.parent_path().string());
  }
  const std::string text = nlohmann::json{{"paths", paths}}.dump(2) + "\n";
  return foundation::FileManager::writeAtomically(file, foundation::dataFromString(text));
}

bool PinSet::covers(const std::vector<std::string>& pins, const std::string& path) {
  return std::any_of(pins.begin(), pins.end(), [&](const std::string& pin) {
    if (pin == "/") return true;
    return path.compare(0, pin.size(), pin) == 0 && (path.size() == pin.size() || path[pin.size()] == '/');
  });
}

bool PinSet::pinned(const std::string& identifier) {
  auto parsed = FileProviderItemIdentifierCodec::parse(identifier);
  return parsed && pinnedPath(parsed->path);
}

bool PinSet::pinnedPath(const std::string& path) {
  std::lock_guard guard(mutex_);
  struct stat st {};
  const bool present = ::stat(file_.c_str(), &st) == 0;
  if (!present) {
    pins_.clear();
    seen_ = {};
    seenInode_ = 0;
  } else if (st.st_ino != seenInode_ || st.st_mtim.tv_sec != seen_.tv_sec || st.st_mtim.tv_nsec != seen_.tv_nsec) {
    if (auto read = PinSet::read(file_); read.ok()) pins_ = std::move(*read);  // a bad file keeps the last good list
    seen_ = st.st_mtim;
    seenInode_ = st.st_ino;
  }
  return covers(pins_, path);
}

}  // namespace corvane::framework::mount

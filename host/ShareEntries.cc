#include "host/ShareEntries.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "platform/foundation/Utf8.h"

namespace corvane::host {

bool isHostTemporaryName(std::string_view name) {
  return name.substr(0, kUploadTemporaryPrefix.size()) == kUploadTemporaryPrefix;
}

HostFileEntry entryFromStat(std::string name, const struct stat& st) {
  HostFileEntry entry;
  entry.name = std::move(name);
  entry.isDir = S_ISDIR(st.st_mode);
  entry.size = entry.isDir ? 0 : static_cast<std::uint64_t>(st.st_size);
  if (st.st_mtim.tv_sec >= 0) {
    entry.modifiedMs =
        static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000 + static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 1000000;
  }
  return entry;
}

SnapshotEntry snapshotFromStat(const struct stat& st) {
  SnapshotEntry entry;
  entry.isDir = S_ISDIR(st.st_mode);
  entry.size = entry.isDir ? 0 : static_cast<std::uint64_t>(st.st_size);
  if (st.st_mtim.tv_sec >= 0) {
    entry.mtimeNs =
        static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000 + static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  }
  entry.inode = st.st_ino;
  return entry;
}

int readChildNames(const ShareRoot& root, const SharePath& folder, std::vector<std::string>* names) {
  names->clear();
  foundation::UniqueFd fd;
  if (int err = root.openDirectory(folder, O_RDONLY, &fd)) return err;
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) return errno;
  fd.release();
  std::vector<std::string> unshareable;
  errno = 0;
  while (const dirent* item = ::readdir(dir)) {
    std::string_view name = item->d_name;
    if (name == "." || name == ".." || isHostTemporaryName(name)) {
      // not the share's
    } else if (!foundation::isValidUtf8(name)) {
      unshareable.emplace_back(name);
    } else {
      names->emplace_back(name);
    }
    errno = 0;
  }
  int err = errno;
  ::closedir(dir);
  std::sort(names->begin(), names->end());
  if (err == 0) root.unshareableNames().folderRead(folder.text(), std::move(unshareable));
  return err;
}

}  // namespace corvane::host

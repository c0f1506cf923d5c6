#include "platform/foundation/FolderContents.h"

#include <system_error>

namespace foundation {

std::vector<std::filesystem::path> contentsOfFolder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    out.push_back(it->path());
  }
  return out;
}

}  // namespace foundation

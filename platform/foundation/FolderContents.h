// The names in a folder, read without exceptions: std::filesystem's range-for
// over a directory_iterator throws from its increment when a read fails midway,
// which would end whichever thread asked.
#pragma once

#include <filesystem>
#include <vector>

namespace foundation {

// Every entry of `folder` ("." and ".." left out), each as `folder` / name, in
// the order the file system gives. A folder that cannot be read gives what was
// read before the failure, often nothing.
std::vector<std::filesystem::path> contentsOfFolder(const std::filesystem::path& folder);

}  // namespace foundation

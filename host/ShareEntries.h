// How items of a share are described: the entry the service answers with and the
// snapshot entry change tracking compares, both from one lstat, plus the child
// listing of a folder. Names the host uses for its own short-lived files in the
// share (upload temporaries) are hidden from listings and change tracking.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/HostState.h"
#include "host/HostTypes.h"
#include "host/ShareRoot.h"

namespace corvane::host {

inline constexpr std::string_view kUploadTemporaryPrefix = ".corvane-upload-";

bool isHostTemporaryName(std::string_view name);

// Folders report size 0; anything that is not a folder (symlinks included) is a
// file of its own lstat size. Times before 1970 report 0.
HostFileEntry entryFromStat(std::string name, const struct stat& st);
SnapshotEntry snapshotFromStat(const struct stat& st);

// The names of `folder`'s children, sorted, without ".", ".." and hidden names:
// the host's own temporaries, and names that cannot be shared (not UTF-8),
// which go to the root's UnshareableNames. Returns 0 or an errno value.
int readChildNames(const ShareRoot& root, const SharePath& folder, std::vector<std::string>* names);

}  // namespace corvane::host

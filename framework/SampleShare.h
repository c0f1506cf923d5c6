// The demo's sample share: a small folder of text files that corvane-vfs-host
// serves for `corvane-fp demo`. Made once, on the first run, and reused after.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/foundation/Result.h"

namespace corvane::framework {

// $XDG_DATA_HOME/corvane/sample-share, else ~/.local/share/corvane/sample-share;
// absent when neither variable gives an absolute folder.
std::optional<std::filesystem::path> sampleShareFolder();

// Makes the sample share at `folder` unless something is already there. The
// files are written beside it first and moved into place in one rename, so an
// interrupted first run leaves no half-made share.
[[nodiscard]] foundation::Status ensureSampleShare(const std::filesystem::path& folder);

// The file whose first line the demo fetches and prints.
inline constexpr const char* kSampleWelcomeFile = "Welcome.txt";

}  // namespace corvane::framework

// libFuzzer target for what the App Group container holds about share epochs:
// sync anchors, reimport completion records, and the settings file an old build
// kept the epoch in. Each decoded value must encode back to the same bytes.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/UserDefaults.h"
#include "shared/share_epoch/FileProviderReimportState.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"

namespace {

// A private container for the settings file, made once per process.
const std::filesystem::path& settingsFile() {
  static const std::filesystem::path file = [] {
    char pattern[] = "/tmp/corvane-fuzz-XXXXXX";
    const std::filesystem::path groups = ::mkdtemp(pattern);
    ::setenv("CORVANE_APP_GROUPS", groups.c_str(), 1);
    const auto folder = groups / "group.com.driftpin.corvane" / "Preferences";
    std::filesystem::create_directories(folder);
    return folder / "group.com.driftpin.corvane.json";
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace epoch = corvane::FileProviderShareEpoch;
  const foundation::Data bytes(data, data + size);
  if (auto anchor = epoch::parseAnchor(bytes); anchor && size == 16) {
    if (epoch::makeAnchor(anchor->epoch, anchor->hostToken) != bytes) std::abort();
  }
  if (auto completed = corvane::FileProviderReimportState::completedEpoch(bytes)) {
    if (corvane::FileProviderReimportState::makeCompletionRecord(*completed) != bytes) std::abort();
  }
  {
    std::ofstream out(settingsFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  (void)foundation::UserDefaults("group.com.driftpin.corvane").unsignedLongLongForKey("fileprovider.share-epoch.p1");
  return 0;
}

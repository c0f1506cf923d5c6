// libFuzzer target for the mount's pending-upload records: what decodes must
// encode and decode again to the same upload.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framework/mount/upload/UploadJournal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvane::framework::mount::UploadJournal;
  auto record = UploadJournal::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!record) return 0;
  auto again = UploadJournal::decode(UploadJournal::encode(*record));
  if (!again || again->sequence != record->sequence || again->identifier != record->identifier ||
      again->name != record->name || again->baseVersion != record->baseVersion || again->failed != record->failed) {
    std::abort();
  }
  return 0;
}

// libFuzzer target for item identifiers, which come back from the framework and
// name paths: a parsed identifier must print back as itself and its parent must
// parse too. Nothing may crash, whatever the text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shared/items/FileProviderItemIdentifierCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvane::FileProviderItemIdentifierCodec;
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  (void)FileProviderItemIdentifierCodec::peerIdOf(raw);
  auto parsed = FileProviderItemIdentifierCodec::parse(raw);
  if (!parsed) return 0;
  if (FileProviderItemIdentifierCodec::identifier(parsed->peerId, parsed->path) != raw) std::abort();
  if (parsed->parentRawIdentifier && !FileProviderItemIdentifierCodec::parse(*parsed->parentRawIdentifier)) {
    std::abort();
  }
  return 0;
}

#include "shared/share_epoch/FileProviderItemVersionPolicy.h"

#include "platform/foundation/Sha256.h"

namespace corvane::FileProviderItemVersionPolicy {
namespace {

foundation::Data digest(const std::string& text) { return foundation::sha256(text); }

}  // namespace

Tags make(std::string_view identifier, std::string_view filename, bool isDirectory, std::uint64_t size,
          std::uint64_t modifiedMs, std::uint64_t epoch) {
  const char* type = isDirectory ? "d" : "f";
  const std::string epochText = std::to_string(epoch);
  const std::string tail = std::to_string(modifiedMs) + "|" + std::to_string(size) + "|" + type;

  std::string content = "c|" + epochText + "|";
  content.append(identifier).append("|").append(tail);

  std::string metadata = "m|" + epochText + "|";
  metadata.append(identifier).append("|").append(filename).append("|").append(tail);

  return Tags{digest(content), digest(metadata)};
}

}  // namespace corvane::FileProviderItemVersionPolicy

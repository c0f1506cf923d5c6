// FileProviderExtension: the enumerator factory. Never refuses: whatever the
// framework names gets an enumerator, and its requests decide what to answer.
#include "extension/FileProviderEnumerator.h"
#include "extension/FileProviderExtension.h"
#include "platform/oslog/Log.h"

namespace corvane {

foundation::Result<std::shared_ptr<fileprovider::Enumerator>> FileProviderExtension::enumerator(
    const fileprovider::ItemIdentifier& container, const fileprovider::Request&) {
  oslog::log(oslog::Type::Default, "\U0001f4c2 [FP] enumerator(for: %{public}@)", container.rawValue());
  std::shared_ptr<fileprovider::Enumerator> enumerator =
      FileProviderEnumerator::create(container, mountedPeerId(), weak_from_this());
  return enumerator;
}

}  // namespace corvane

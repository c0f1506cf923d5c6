// FileProviderExtension: framework requests whose handling has not landed yet.
// Each answers at once, exactly once, with "feature unsupported".
#include "extension/FileProviderExtension.h"

namespace corvane {
namespace {

foundation::Error unsupported() {
  return foundation::Error(foundation::kCocoaErrorDomain, 3328,
                           foundation::UserInfo{{foundation::kLocalizedDescriptionKey,
                                                 std::string("This request is not supported yet")}});
}

foundation::ProgressPtr finished() {
  auto progress = std::make_shared<foundation::Progress>(1);
  progress->setCompletedUnitCount(1);
  return progress;
}

}  // namespace

foundation::Result<std::shared_ptr<fileprovider::Enumerator>> FileProviderExtension::enumerator(
    const fileprovider::ItemIdentifier&, const fileprovider::Request&) {
  return unsupported();
}

foundation::ProgressPtr FileProviderExtension::item(const fileprovider::ItemIdentifier&, const fileprovider::Request&,
                                                    ItemCompletion completionHandler) {
  completionHandler(nullptr, unsupported());
  return finished();
}

}  // namespace corvane

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

foundation::ProgressPtr FileProviderExtension::fetchContents(const fileprovider::ItemIdentifier&,
                                                             const std::optional<fileprovider::ItemVersion>&,
                                                             const fileprovider::Request&,
                                                             FetchCompletion completionHandler) {
  completionHandler(std::nullopt, nullptr, unsupported());
  return finished();
}

foundation::ProgressPtr FileProviderExtension::createItem(fileprovider::ItemPtr, fileprovider::ItemFields,
                                                          const std::optional<std::filesystem::path>&,
                                                          fileprovider::CreateItemOptions, const fileprovider::Request&,
                                                          ItemChangeCompletion completionHandler) {
  completionHandler(nullptr, 0, false, unsupported());
  return finished();
}

foundation::ProgressPtr FileProviderExtension::modifyItem(fileprovider::ItemPtr, const fileprovider::ItemVersion&,
                                                          fileprovider::ItemFields,
                                                          const std::optional<std::filesystem::path>&,
                                                          fileprovider::ModifyItemOptions, const fileprovider::Request&,
                                                          ItemChangeCompletion completionHandler) {
  completionHandler(nullptr, 0, false, unsupported());
  return finished();
}

foundation::ProgressPtr FileProviderExtension::deleteItem(const fileprovider::ItemIdentifier&,
                                                          const fileprovider::ItemVersion&,
                                                          fileprovider::DeleteItemOptions, const fileprovider::Request&,
                                                          ErrorCompletion completionHandler) {
  completionHandler(unsupported());
  return finished();
}

}  // namespace corvane

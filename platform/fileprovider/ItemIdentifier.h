// fileprovider::ItemIdentifier stands in for NSFileProviderItemIdentifier: an
// opaque text value, plus the framework's three container identifiers.
#pragma once

#include <functional>
#include <string>

namespace fileprovider {

class ItemIdentifier {
 public:
  explicit ItemIdentifier(std::string rawValue) : rawValue_(std::move(rawValue)) {}

  static ItemIdentifier rootContainer() { return ItemIdentifier("NSFileProviderRootContainerItemIdentifier"); }
  static ItemIdentifier workingSet() { return ItemIdentifier("NSFileProviderWorkingSetContainerItemIdentifier"); }
  static ItemIdentifier trashContainer() { return ItemIdentifier("NSFileProviderTrashContainerItemIdentifier"); }

  const std::string& rawValue() const { return rawValue_; }

  friend bool operator==(const ItemIdentifier&, const ItemIdentifier&) = default;

 private:
  std::string rawValue_;
};

}  // namespace fileprovider

template <>
struct std::hash<fileprovider::ItemIdentifier> {
  std::size_t operator()(const fileprovider::ItemIdentifier& id) const noexcept {
    return std::hash<std::string>{}(id.rawValue());
  }
};

// NodeIdentifier: a node's identifier as the peer knows it, in one pointer. A
// tree holds one per entry of a share, where a std::string's 32 bytes would be
// more than a third of the node; the bytes are on the heap either way, since
// the peer's identifiers ("peer::/path/name") are longer than a short string.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/fileprovider/ItemIdentifier.h"

namespace corvane::framework::mount {

class NodeIdentifier {
 public:
  NodeIdentifier() = default;
  explicit NodeIdentifier(std::string_view raw) { assign(raw); }
  NodeIdentifier(const fileprovider::ItemIdentifier& identifier) { assign(identifier.rawValue()); }
  NodeIdentifier(const NodeIdentifier& other) { assign(other.rawValue()); }
  NodeIdentifier(NodeIdentifier&&) noexcept = default;
  NodeIdentifier& operator=(const NodeIdentifier& other) {
    if (this != &other) assign(other.rawValue());
    return *this;
  }
  NodeIdentifier& operator=(NodeIdentifier&&) noexcept = default;

  std::string_view rawValue() const {
    if (!bytes_) return {};
    std::uint32_t length = 0;
    std::memcpy(&length, bytes_.get(), sizeof length);
    return {bytes_.get() + sizeof length, length};
  }
  bool empty() const { return !bytes_; }
  // As the framework's calls take it.
  operator fileprovider::ItemIdentifier() const { return fileprovider::ItemIdentifier(std::string(rawValue())); }

  friend bool operator==(const NodeIdentifier& a, const NodeIdentifier& b) { return a.rawValue() == b.rawValue(); }
  friend bool operator==(const NodeIdentifier& a, const fileprovider::ItemIdentifier& b) {
    return a.rawValue() == b.rawValue();
  }

 private:
  void assign(std::string_view raw) {
    if (raw.empty()) {
      bytes_.reset();
      return;
    }
    const auto length = static_cast<std::uint32_t>(raw.size());
    auto bytes = std::make_unique_for_overwrite<char[]>(sizeof length + raw.size());
    std::memcpy(bytes.get(), &length, sizeof length);
    std::memcpy(bytes.get() + sizeof length, raw.data(), raw.size());
    bytes_ = std::move(bytes);
  }

  std::unique_ptr<char[]> bytes_;  // the length (4 bytes), then the bytes; none when empty
};

}  // namespace corvane::framework::mount

// Share epochs: a random non-zero 64-bit marker per peer, kept in the App Group
// container, that changes when the peer's shared folder is replaced. Item
// versions and sync anchors carry it, so a new epoch makes them all stale.
// Also the byte format of the sync anchors handed to the framework.
//
// Thread-safe: current() and bump() hold one process-wide lock; across processes
// the file is replaced atomically, so readers see the old or the new value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"

namespace corvane::FileProviderShareEpoch {

inline constexpr const char* storeDirectoryName = "FileProviderShareEpochs";

struct AnchorParts {
  std::uint64_t epoch;
  std::uint64_t hostToken;
  friend bool operator==(const AnchorParts&, const AnchorParts&) = default;
};

// The epoch file's value, else the legacy defaults value, else 0 (none).
std::uint64_t current(const std::string& peerId);

// Stores a fresh random epoch (never 0, never the previous one) and returns it;
// absent when it could not be stored, in which case the old epoch stays.
std::optional<std::uint64_t> bump(const std::string& peerId);

// 16 bytes: epoch then host token, little-endian.
foundation::Data makeAnchor(std::uint64_t epoch, std::uint64_t hostToken);

// Inverse of makeAnchor; an 8-byte anchor is a bare host token with epoch 0.
std::optional<AnchorParts> parseAnchor(const foundation::Data& anchor);

// True when the anchor is unreadable or was made under another epoch.
bool isExpired(const foundation::Data& anchor, std::uint64_t currentEpoch);

}  // namespace corvane::FileProviderShareEpoch

// Per-peer record of the share epoch for which a complete listing of the root was
// last delivered to the framework. A new epoch leaves the record behind, so the
// root counts as needing a reimport until the next complete root listing.
//
// Thread-safe: every operation holds the store's own lock (not the epoch lock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"

namespace corvane {

namespace FileProviderReimportState {

inline constexpr const char* storeDirectoryName = "FileProviderReimportEpochs";
inline constexpr std::uint64_t completionRecordVersion = 3;

// Whether the root still lacks an authoritative listing for `currentEpoch`.
bool needsRootReimport(const std::string& peerId, std::uint64_t currentEpoch);
// The rule behind needsRootReimport: never for epoch 0, else unless it was completed.
bool requiresRootReimport(std::uint64_t currentEpoch, std::optional<std::uint64_t> lastCompletedEpoch);
bool isCompleted(const std::string& peerId, std::uint64_t epoch);
// Removes the record, so a reimport is pending; true when nothing is left behind.
bool begin(const std::string& peerId, std::uint64_t epoch);
// Stores the record for `epoch` atomically; true when stored.
bool markCompleted(const std::string& peerId, std::uint64_t epoch);

// 16 bytes: version 3, then the epoch, both little-endian.
foundation::Data makeCompletionRecord(std::uint64_t epoch);
// The record's epoch; absent for a wrong length, another version or epoch 0.
std::optional<std::uint64_t> completedEpoch(const foundation::Data& record);

}  // namespace FileProviderReimportState

namespace FileProviderReimportCompletionPolicy {

enum class Snapshot { rootContainer, workingSet };

// Only a complete root listing rebuilds the framework's copy of the root.
bool shouldMarkCompleted(Snapshot after);

}  // namespace FileProviderReimportCompletionPolicy

}  // namespace corvane

#include "shared/vfs_xpc/VfsErrorCode.h"

#include <array>

namespace corvane {

std::string_view vfsErrorCodeText(std::int64_t code) {
  // Indexed by -code - 1, in the enum's order.
  static constexpr std::array<std::string_view, 26> kTexts = {
      "invalid_argument",
      "authentication_failed",
      "connection_failed",
      "channel_closed",
      "timeout",
      "protocol_error",
      "flow_control",
      "permission_denied",
      "not_found",
      "already_exists",
      "vfs_not_connected",
      "io",
      "sync_anchor_expired",
      "cancelled",
      "backpressure",
      "service_unavailable",
      "conflict",
      "invalid_transition",
      "blocked",
      "stale_epoch",
      "pending_transfer_conflict",
      "transfer_skipped",
      "no_space",
      "directory_not_empty",
      "resource_limit_exceeded",
      "sync_path_overlaps_mount",
  };
  constexpr auto count = static_cast<std::int64_t>(kTexts.size());
  if (code <= -1 && code >= -count) return kTexts[static_cast<std::size_t>(-code - 1)];
  return "unknown";
}

}  // namespace corvane

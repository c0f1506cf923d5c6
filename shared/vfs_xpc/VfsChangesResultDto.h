// VfsChangesResultDto: the host's answer to a change query — the changes since the
// token asked about, in the host's order, and the token for the next query.
// Immutable; travels by keyed secure coding under the name "VfsChangesResultDto".
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/xpc/Codable.h"
#include "platform/xpc/Coder.h"
#include "shared/vfs_xpc/VfsFsChangeDto.h"

namespace corvane {

class VfsChangesResultDto final : public xpc::Codable {
 public:
  static constexpr bool supportsSecureCoding = true;

  // initWithChanges:newToken:
  VfsChangesResultDto(std::vector<std::shared_ptr<const VfsFsChangeDto>> changes, std::uint64_t newToken);
  // initWithCoder: "changes" counts only as an array of VfsFsChangeDto; anything
  // else (a single change, nothing) gives no changes.
  explicit VfsChangesResultDto(xpc::Coder& coder);

  static const xpc::ClassInfo& codableClass();
  const xpc::ClassInfo& classInfo() const override { return codableClass(); }
  void encode(xpc::Coder& coder) const override;

  const std::vector<std::shared_ptr<const VfsFsChangeDto>>& changes() const { return changes_; }
  std::uint64_t newToken() const { return newToken_; }

 private:
  std::vector<std::shared_ptr<const VfsFsChangeDto>> changes_;
  std::uint64_t newToken_;  // on the wire as its two's-complement int64 image
};

}  // namespace corvane

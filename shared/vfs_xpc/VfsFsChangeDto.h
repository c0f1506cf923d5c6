// VfsFsChangeDto: one change inside a watched folder — a child added or changed
// (with its entry) or removed (with its name). Immutable; travels by keyed secure
// coding under the class name "VfsFsChangeDto".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/Codable.h"
#include "platform/xpc/Coder.h"
#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

class VfsFsChangeDto final : public xpc::Codable {
 public:
  static constexpr bool supportsSecureCoding = true;

  // initWithEntry: an addition or change.
  explicit VfsFsChangeDto(std::shared_ptr<const VfsFileEntryDto> entry);
  // initWithRemovedName: a removal.
  explicit VfsFsChangeDto(std::string removedName);
  // initWithCoder: takes what the archive holds, as it is; an inconsistent change
  // (removal without a name, addition without an entry) is for the reader to judge.
  explicit VfsFsChangeDto(xpc::Coder& coder);

  static const xpc::ClassInfo& codableClass();
  const xpc::ClassInfo& classInfo() const override { return codableClass(); }
  void encode(xpc::Coder& coder) const override;

  bool isRemoved() const { return isRemoved_; }
  const std::shared_ptr<const VfsFileEntryDto>& entry() const { return entry_; }
  const std::optional<std::string>& removedName() const { return removedName_; }

 private:
  bool isRemoved_;
  std::shared_ptr<const VfsFileEntryDto> entry_;
  std::optional<std::string> removedName_;
};

}  // namespace corvane

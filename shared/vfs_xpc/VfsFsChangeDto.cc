#include "shared/vfs_xpc/VfsFsChangeDto.h"

namespace corvane {

VfsFsChangeDto::VfsFsChangeDto(std::shared_ptr<const VfsFileEntryDto> entry)
    : isRemoved_(false), entry_(std::move(entry)) {}

VfsFsChangeDto::VfsFsChangeDto(std::string removedName) : isRemoved_(true), removedName_(std::move(removedName)) {}

VfsFsChangeDto::VfsFsChangeDto(xpc::Coder& coder)
    : isRemoved_(coder.decodeBool("isRemoved")),
      entry_(coder.decodeObjectOfClass<VfsFileEntryDto>("entry")),
      removedName_(coder.decodeStringForKey("removedName")) {}

const xpc::ClassInfo& VfsFsChangeDto::codableClass() {
  static constexpr xpc::ClassInfo kClass{"VfsFsChangeDto", xpc::BuiltinClass::none, &xpc::makeCodable<VfsFsChangeDto>};
  return kClass;
}

void VfsFsChangeDto::encode(xpc::Coder& coder) const {
  coder.encodeBool(isRemoved_, "isRemoved");
  coder.encodeObject(entry_, "entry");
  coder.encodeObject(removedName_, "removedName");
}

}  // namespace corvane

#include "shared/vfs_xpc/VfsFileEntryDto.h"

namespace corvane {

VfsFileEntryDto::VfsFileEntryDto(std::string name, bool isDir, std::uint64_t size, std::uint64_t modifiedMs)
    : name_(std::move(name)), isDir_(isDir), size_(size), modifiedMs_(modifiedMs) {}

VfsFileEntryDto::VfsFileEntryDto(xpc::Coder& coder)
    : name_(coder.decodeStringForKey("name").value_or(std::string())),
      isDir_(coder.decodeBool("isDir")),
      size_(static_cast<std::uint64_t>(coder.decodeInt64("size"))),
      modifiedMs_(static_cast<std::uint64_t>(coder.decodeInt64("modifiedMs"))) {}

const xpc::ClassInfo& VfsFileEntryDto::codableClass() {
  static constexpr xpc::ClassInfo kClass{"VfsFileEntryDto", xpc::BuiltinClass::none,
                                         &xpc::makeCodable<VfsFileEntryDto>};
  return kClass;
}

void VfsFileEntryDto::encode(xpc::Coder& coder) const {
  coder.encodeObject(name_, "name");
  coder.encodeBool(isDir_, "isDir");
  coder.encodeInt64(static_cast<std::int64_t>(size_), "size");
  coder.encodeInt64(static_cast<std::int64_t>(modifiedMs_), "modifiedMs");
}

}  // namespace corvane

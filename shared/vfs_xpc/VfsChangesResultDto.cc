#include "shared/vfs_xpc/VfsChangesResultDto.h"

namespace corvane {

namespace {

std::vector<std::shared_ptr<const VfsFsChangeDto>> changesFrom(const xpc::Object& object) {
  std::vector<std::shared_ptr<const VfsFsChangeDto>> out;
  const xpc::Object::Array* array = object.asArray();
  if (!array) return out;
  out.reserve(array->size());
  for (const xpc::Object& item : *array) {
    auto change = item.as<VfsFsChangeDto>();
    if (!change) return {};
    out.push_back(std::move(change));
  }
  return out;
}

}  // namespace

VfsChangesResultDto::VfsChangesResultDto(std::vector<std::shared_ptr<const VfsFsChangeDto>> changes,
                                         std::uint64_t newToken)
    : changes_(std::move(changes)), newToken_(newToken) {}

VfsChangesResultDto::VfsChangesResultDto(xpc::Coder& coder)
    : changes_(changesFrom(coder.decodeObjectOfClasses(
          xpc::ClassSet{&xpc::classes::NSArray, &VfsFsChangeDto::codableClass()}, "changes"))),
      newToken_(static_cast<std::uint64_t>(coder.decodeInt64("newToken"))) {}

const xpc::ClassInfo& VfsChangesResultDto::codableClass() {
  static constexpr xpc::ClassInfo kClass{"VfsChangesResultDto", xpc::BuiltinClass::none,
                                         &xpc::makeCodable<VfsChangesResultDto>};
  return kClass;
}

void VfsChangesResultDto::encode(xpc::Coder& coder) const {
  coder.encodeObject(changes_, "changes");
  coder.encodeInt64(static_cast<std::int64_t>(newToken_), "newToken");
}

}  // namespace corvane

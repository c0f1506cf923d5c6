#include "shared/vfs_xpc/VfsXpcProtocol.h"

#include "platform/xpc/ClassRegistry.h"
#include "shared/vfs_xpc/VfsFsChangeDto.h"

namespace corvane {

void registerVfsXpcClasses() {
  xpc::ClassRegistry::add(VfsFileEntryDto::codableClass());
  xpc::ClassRegistry::add(VfsFsChangeDto::codableClass());
  xpc::ClassRegistry::add(VfsChangesResultDto::codableClass());
}

}  // namespace corvane

const xpc::ProtocolSpec& xpc::ProtocolTraits<corvane::VfsXpcProtocol>::spec() {
  using xpc::ArgumentSpec;
  namespace sel = corvane::VfsXpcSelectors;
  static const xpc::ProtocolSpec kSpec = [] {
    const ArgumentSpec text = ArgumentSpec::object(xpc::classes::NSString);
    const ArgumentSpec error = ArgumentSpec::object(xpc::classes::NSError);
    const std::vector<ArgumentSpec> errorOnly{error};
    return xpc::ProtocolSpec(
        "VfsXpcProtocol",
        {
            {sel::ping, {text, ArgumentSpec::uint64()}, errorOnly},
            {sel::listDirectory, {text, text, text}, {{ArgumentSpec::object(xpc::classes::NSArray), error}}},
            {sel::getCurrentToken, {text, text}, {{ArgumentSpec::object(xpc::classes::NSNumber), error}}},
            {sel::readChanges,
             {text, text, ArgumentSpec::uint64(), text},
             {{ArgumentSpec::object(corvane::VfsChangesResultDto::codableClass()), error}}},
            {sel::statItem,
             {text, text, text},
             {{ArgumentSpec::object(corvane::VfsFileEntryDto::codableClass()), error}}},
            {sel::fetchFileContents, {text, text, text}, {{ArgumentSpec::object(xpc::classes::NSURL), error}}},
            {sel::uploadFile, {text, text, text, text}, errorOnly},
            {sel::createDirectory, {text, text, text}, errorOnly},
            {sel::deleteItem, {text, text, ArgumentSpec::boolean(), text}, errorOnly},
            {sel::renameItem, {text, text, text, text}, errorOnly},
        });
  }();
  return kSpec;
}

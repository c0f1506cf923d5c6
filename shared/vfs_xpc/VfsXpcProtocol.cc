#include "shared/vfs_xpc/VfsXpcProtocol.h"

#include <cstdlib>

#include "platform/xpc/ClassRegistry.h"
#include "shared/vfs_xpc/VfsFsChangeDto.h"

namespace corvane {

void registerVfsXpcClasses() {
  xpc::ClassRegistry::add(VfsFileEntryDto::codableClass());
  xpc::ClassRegistry::add(VfsFsChangeDto::codableClass());
  xpc::ClassRegistry::add(VfsChangesResultDto::codableClass());
}

}  // namespace corvane

namespace corvane {

const std::vector<VfsXpcMethodRow>& vfsXpcMethodTable() {
  using xpc::ArgumentSpec;
  using P = VfsXpcProtocol;
  static const std::vector<VfsXpcMethodRow> kTable = [] {
    const ArgumentSpec text = ArgumentSpec::object(xpc::classes::NSString);
    const ArgumentSpec error = ArgumentSpec::object(xpc::classes::NSError);
    const ArgumentSpec u64 = ArgumentSpec::uint64();
    const std::vector<ArgumentSpec> errorOnly{error};
    std::vector<VfsXpcMethodRow> rows = {
        {P::kPing, {text, u64}, errorOnly, {}},
        {P::kListDirectory,
         {text, text, text},
         {ArgumentSpec::object(xpc::classes::NSArray), error},
         {"NSArray", "VfsFileEntryDto"}},
        {P::kGetCurrentToken, {text, text}, {ArgumentSpec::object(xpc::classes::NSNumber), error}, {}},
        {P::kReadChanges,
         {text, text, u64, text},
         {ArgumentSpec::object(VfsChangesResultDto::codableClass()), error},
         {"NSArray", "VfsChangesResultDto", "VfsFsChangeDto", "VfsFileEntryDto", "NSString"}},
        {P::kStatItem, {text, text, text}, {ArgumentSpec::object(VfsFileEntryDto::codableClass()), error}, {}},
        {P::kFetchFileContents, {text, text, text}, {ArgumentSpec::object(xpc::classes::NSURL), error}, {}},
        {P::kUploadFile, {text, text, text, text}, errorOnly, {}},
        {P::kCreateDirectory, {text, text, text}, errorOnly, {}},
        {P::kDeleteItem, {text, text, ArgumentSpec::boolean(), text}, errorOnly, {}},
        {P::kRenameItem, {text, text, text, text}, errorOnly, {}},
    };
    // A row out of place would give one operation another's types.
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].method != i) std::abort();
    }
    if (rows.size() != P::kMethodCount) std::abort();
    return rows;
  }();
  return kTable;
}

const char* vfsXpcSelector(VfsXpcProtocol::Method method) {
  static constexpr const char* kSelectors[] = {
#define CORVANE_VFS_XPC_SELECTOR_TEXT(index, name, selector) selector,
      CORVANE_VFS_XPC_METHODS(CORVANE_VFS_XPC_SELECTOR_TEXT)
#undef CORVANE_VFS_XPC_SELECTOR_TEXT
  };
  return kSelectors[method];
}

}  // namespace corvane

const xpc::ProtocolSpec& xpc::ProtocolTraits<corvane::VfsXpcProtocol>::spec() {
  static const xpc::ProtocolSpec kSpec = [] {
    std::vector<xpc::MethodSpec> methods;
    for (const auto& row : corvane::vfsXpcMethodTable()) {
      methods.push_back({corvane::vfsXpcSelector(row.method), row.arguments, row.reply});
    }
    return xpc::ProtocolSpec("VfsXpcProtocol", std::move(methods));
  }();
  return kSpec;
}

#include "host/HostDtos.h"

#include "platform/xpc/Coder.h"
#include "platform/xpc/WireFormat.h"
#include "shared/vfs_xpc/VfsXpcProtocol.h"

namespace corvane::host {

std::shared_ptr<const VfsFileEntryDto> entryDto(const HostFileEntry& entry) {
  return std::make_shared<const VfsFileEntryDto>(entry.name, entry.isDir, entry.size, entry.modifiedMs);
}

std::vector<std::shared_ptr<const VfsFileEntryDto>> entryDtos(const std::vector<HostFileEntry>& entries) {
  std::vector<std::shared_ptr<const VfsFileEntryDto>> out;
  out.reserve(entries.size());
  for (const HostFileEntry& entry : entries) out.push_back(entryDto(entry));
  return out;
}

std::shared_ptr<const VfsFsChangeDto> changeDto(const HostFsChange& change) {
  if (!change.isRemoved && change.entry && !change.removedName) {
    return std::make_shared<const VfsFsChangeDto>(entryDto(*change.entry));
  }
  if (change.isRemoved && !change.entry && change.removedName) {
    return std::make_shared<const VfsFsChangeDto>(*change.removedName);
  }
  // The transfer object's initialisers make only consistent changes; any other
  // combination is built the way the receiving side would see it, by decoding
  // the fields as archived.
  registerVfsXpcClasses();  // the decoder finds the entry's class by name
  xpc::wire::ByteWriter fields;
  xpc::Coder encoder(fields);
  encoder.encodeBool(change.isRemoved, "isRemoved");
  encoder.encodeObject(change.entry ? entryDto(*change.entry) : nullptr, "entry");
  encoder.encodeObject(change.removedName, "removedName");
  xpc::Coder decoder(xpc::wire::ByteReader(fields.bytes().data(), fields.size()), encoder.encodedCount(), 0);
  return std::make_shared<const VfsFsChangeDto>(decoder);
}

std::shared_ptr<const VfsChangesResultDto> changesDto(const HostChangesResult& result) {
  std::vector<std::shared_ptr<const VfsFsChangeDto>> changes;
  changes.reserve(result.changes.size());
  for (const HostFsChange& change : result.changes) changes.push_back(changeDto(change));
  return std::make_shared<const VfsChangesResultDto>(std::move(changes), result.newToken);
}

}  // namespace corvane::host

#include "shared/items/FileProviderItemIdentifierCodec.h"

#include "platform/foundation/PathString.h"

namespace corvane {

namespace PathString = foundation::PathString;

std::optional<FileProviderItemIdentifierCodec::Parsed> FileProviderItemIdentifierCodec::parse(std::string_view raw) {
  std::size_t separator = raw.find("::");
  if (separator == std::string_view::npos) return std::nullopt;
  std::string_view peerId = raw.substr(0, separator);
  std::string_view path = raw.substr(separator + 2);
  if (peerId.empty() || path.empty() || path.front() != '/') return std::nullopt;

  std::string parent = PathString::deletingLastPathComponent(path);
  if (parent != "/") parent = PathString::collapsingDoubleSlashesOnce(parent);

  Parsed parsed{std::string(peerId), std::string(path), std::nullopt};
  if (parent != "/") parsed.parentRawIdentifier = identifier(parsed.peerId, parent);
  return parsed;
}

std::optional<std::string> FileProviderItemIdentifierCodec::movedWith(std::string_view raw, std::string_view from,
                                                                     std::string_view to) {
  // A folder's descendants are named by its identifier, a "/" and their path below it.
  if (raw.size() <= from.size() + 1 || !raw.starts_with(from) || raw[from.size()] != '/') return std::nullopt;
  std::string moved(to);
  moved.append(raw.substr(from.size()));
  return moved;
}

std::string FileProviderItemIdentifierCodec::identifier(std::string_view peerId, std::string_view path) {
  std::string text;
  text.reserve(peerId.size() + 2 + path.size());
  text.append(peerId).append("::").append(path);
  return text;
}

std::optional<std::string_view> FileProviderItemIdentifierCodec::peerIdOf(std::string_view raw) {
  const std::size_t separator = raw.find("::");
  if (separator == std::string_view::npos) return std::nullopt;
  return raw.substr(0, separator);
}

std::string FileProviderItemIdentifierCodec::childIdentifier(std::string_view peerId, std::string_view folderPath,
                                                             std::string_view name) {
  // One buffer for the whole text: a working-set walk names every item of the share here.
  std::string identifier;
  identifier.reserve(peerId.size() + 3 + folderPath.size() + name.size());
  identifier.append(peerId).append("::");
  const std::size_t pathStart = identifier.size();
  PathString::appendPathComponent(identifier, folderPath, name);
  PathString::collapseDoubleSlashesOnce(identifier, pathStart);
  return identifier;
}

}  // namespace corvane

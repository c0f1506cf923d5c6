#include "host/SharePath.h"

#include <cassert>

#include "host/HostError.h"
#include "platform/foundation/Utf8.h"
#include "shared/vfs_xpc/VfsPathLimits.h"

namespace corvane::host {
namespace {

foundation::Error invalid(std::string why) { return vfsError(VfsErrorCode::invalidArgument, "Invalid path: " + why); }

}  // namespace

bool SharePath::isValidName(std::string_view name) {
  return !name.empty() && name.size() <= kVfsNameMax && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
         foundation::isValidUtf8(name);
}

foundation::Result<SharePath> SharePath::parse(std::string_view raw) {
  if (raw.empty() || raw.front() != '/') return invalid("it must start with \"/\"");
  if (raw.find('\0') != std::string_view::npos) return invalid("it contains a NUL byte");
  if (raw.size() > kVfsPathMax) return invalid("it is too long");
  if (!foundation::isValidUtf8(raw)) return invalid("it is not UTF-8");
  SharePath path;
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find('/', start);
    if (end == std::string_view::npos) end = raw.size();
    std::string_view part = raw.substr(start, end - start);
    if (!part.empty()) {
      if (part == "." || part == "..") return invalid("\".\" and \"..\" are not allowed");
      if (part.size() > kVfsNameMax) return invalid("a name is longer than 255 bytes");
      path.components_.emplace_back(part);
    }
    start = end + 1;
  }
  return path;
}

std::string SharePath::text() const {
  if (components_.empty()) return "/";
  std::string out;
  for (const auto& c : components_) {
    out += '/';
    out += c;
  }
  return out;
}

std::string SharePath::relative() const {
  if (components_.empty()) return ".";
  return text().substr(1);
}

const std::string& SharePath::name() const {
  static const std::string kRootName = "/";
  return components_.empty() ? kRootName : components_.back();
}

SharePath SharePath::parent() const {
  SharePath p = *this;
  if (!p.components_.empty()) p.components_.pop_back();
  return p;
}

SharePath SharePath::child(std::string name) const {
  assert(isValidName(name));
  SharePath p = *this;
  p.components_.push_back(std::move(name));
  return p;
}

bool SharePath::isWithin(const SharePath& ancestor) const {
  if (ancestor.components_.size() > components_.size()) return false;
  for (std::size_t i = 0; i < ancestor.components_.size(); ++i) {
    if (components_[i] != ancestor.components_[i]) return false;
  }
  return true;
}

}  // namespace corvane::host

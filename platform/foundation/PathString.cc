#include "platform/foundation/PathString.h"

namespace foundation::PathString {
namespace {

std::string_view trimTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

std::string deletingLastPathComponent(std::string_view path) {
  path = trimTrailingSlashes(path);
  if (path == "/") return "/";
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) return "/";
  return std::string(parent);
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  std::string_view base = trimTrailingSlashes(path);
  std::string joined(base);
  if (joined.empty()) {
    joined.assign(component);
  } else if (joined == "/") {
    joined.append(component);
  } else {
    joined.push_back('/');
    joined.append(component);
  }
  std::string_view trimmed = trimTrailingSlashes(joined);
  joined.resize(trimmed.size());
  return joined;
}

std::string lastPathComponent(std::string_view path) {
  path = trimTrailingSlashes(path);
  if (path == "/") return "/";
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string pathExtension(std::string_view path) {
  std::string last = lastPathComponent(path);
  std::size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
  return last.substr(dot + 1);
}

std::string collapsingDoubleSlashesOnce(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size();) {
    if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/') {
      out.push_back('/');
      i += 2;
    } else {
      out.push_back(path[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace foundation::PathString

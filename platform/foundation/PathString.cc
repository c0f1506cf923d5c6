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

void appendPathComponent(std::string& out, std::string_view path, std::string_view component) {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  std::string_view base = trimTrailingSlashes(path);
  const std::size_t start = out.size();
  out.append(base);
  if (!base.empty() && base != "/") out.push_back('/');
  out.append(component);
  while (out.size() > start + 1 && out.back() == '/') out.pop_back();
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  std::string joined;
  appendPathComponent(joined, path, component);
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

void collapseDoubleSlashesOnce(std::string& text, std::size_t from) {
  // A plain scan: paths are short, and find("//") pays a library call per "/".
  std::size_t write = from;
  while (write + 1 < text.size() && !(text[write] == '/' && text[write + 1] == '/')) ++write;
  if (write + 1 >= text.size()) return;  // nearly every path: nothing to move
  for (std::size_t read = write; read < text.size();) {
    text[write++] = text[read];
    read += (text[read] == '/' && read + 1 < text.size() && text[read + 1] == '/') ? 2 : 1;
  }
  text.resize(write);
}

std::string collapsingDoubleSlashesOnce(std::string_view path) {
  std::string out(path);
  collapseDoubleSlashesOnce(out, 0);
  return out;
}

}  // namespace foundation::PathString

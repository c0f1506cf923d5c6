// SharePath is a validated path inside a peer's share: absolute, made of plain
// names only. Every path that reaches the file system passes through parse(), so
// ".." and NUL bytes are refused in one place; "//" and a trailing "/" read as "/".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"

namespace corvane::host {

class SharePath {
 public:
  // The share's top folder, "/".
  SharePath() = default;

  // Refuses, with -1 "invalid_argument": text not starting with "/", NUL bytes,
  // "." or ".." components, names longer than 255 bytes, paths over 4095 bytes,
  // text that is not UTF-8.
  [[nodiscard]] static foundation::Result<SharePath> parse(std::string_view raw);
  // True for a single component that parse() would accept as a child name.
  static bool isValidName(std::string_view name);

  bool isRoot() const { return components_.empty(); }
  const std::vector<std::string>& components() const { return components_; }
  // Canonical text: "/" or "/a/b".
  std::string text() const;
  // Relative form for *at() calls: "." for the root, else "a/b".
  std::string relative() const;
  // Last component; "/" for the root.
  const std::string& name() const;
  // The folder holding this item; the root's parent is the root.
  SharePath parent() const;
  // `name` must satisfy isValidName().
  SharePath child(std::string name) const;
  // True when this path equals `ancestor` or lies below it.
  bool isWithin(const SharePath& ancestor) const;

  friend bool operator==(const SharePath&, const SharePath&) = default;

 private:
  std::vector<std::string> components_;
};

}  // namespace corvane::host

// NSString's path operations on "/"-separated text. Item identifiers are built
// from these byte for byte, so their edge cases (trailing and lone slashes) are
// part of the contract, not incidental.
#pragma once

#include <string>
#include <string_view>

namespace foundation::PathString {

// stringByDeletingLastPathComponent: trailing "/" are ignored, the last component
// goes, and the result keeps no trailing "/" unless it is "/" itself.
// "/Docs/a.txt" -> "/Docs", "/Docs/" -> "/", "/" -> "/", "a" -> "".
std::string deletingLastPathComponent(std::string_view path);

// stringByAppendingPathComponent: exactly one "/" between the two parts.
// "/" + "a.txt" -> "/a.txt", "/Docs" + "a.txt" -> "/Docs/a.txt".
std::string appendingPathComponent(std::string_view path, std::string_view component);
// The same join appended to `out`, for callers building a longer text in one buffer.
void appendPathComponent(std::string& out, std::string_view path, std::string_view component);

// lastPathComponent: the last component, ignoring trailing "/"; "/" for "/".
std::string lastPathComponent(std::string_view path);

// pathExtension: the text after the last "." of the last component, or empty
// when there is none or the dot leads the component (".profile").
std::string pathExtension(std::string_view path);

// Every "//" replaced by "/" in one left-to-right pass of non-overlapping matches,
// so "///" becomes "//".
std::string collapsingDoubleSlashesOnce(std::string_view path);
// The same pass in place, over `text` from index `from` on.
void collapseDoubleSlashesOnce(std::string& text, std::size_t from);

}  // namespace foundation::PathString

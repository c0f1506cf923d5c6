// The longest names and paths the host takes in a share, in bytes: those of the
// Linux file systems it serves (NAME_MAX, and PATH_MAX less its NUL). The host
// refuses anything longer; the mount refuses to make it, so that a program
// hears ENAMETOOLONG when it asks, not an error from an upload later.
#pragma once

#include <cstddef>

namespace corvane {

inline constexpr std::size_t kVfsNameMax = 255;
inline constexpr std::size_t kVfsPathMax = 4095;  // "/" and the names below the share, joined by "/"

}  // namespace corvane

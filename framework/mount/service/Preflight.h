// Preflight: whether a mount can be made here, asked the same way by `mount`
// (which refuses with exit status 2), `doctor` (which lists each check) and
// `install-service` (which refuses a domain a service could not mount).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::framework::mount {

// The first executable `program` in a folder of $PATH, if any.
std::optional<std::filesystem::path> onPath(const char* program);

struct Problem {
  std::string what;    // what is wrong, naming the thing
  std::string advice;  // what to do about it
  std::string line() const { return advice.empty() ? what : what + ": " + advice; }
};

// /dev/fuse must be open to us for reading and writing.
std::optional<Problem> fuseDeviceProblem();
// fusermount3 mounts and unmounts for an unprivileged user.
std::optional<Problem> fusermountProblem();
// A domain names a folder in the cache, state and runtime folders, so it must
// be one usable name there, and "host" is where the host keeps its own state.
std::optional<Problem> domainProblem(const std::string& domain);
// The mount point must be an empty folder nothing is mounted on.
std::optional<Problem> mountPointProblem(const std::filesystem::path& mountPoint);

}  // namespace corvane::framework::mount

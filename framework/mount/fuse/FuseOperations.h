// The mount's one FUSE operations table: each low-level request is handed to
// MountFileSystem and its answer becomes the reply. Requests the extension has
// no way to carry out (links, special files, extended attributes) are refused
// with the errno a program expects, never half done.
#pragma once

#include <fuse_lowlevel.h>

namespace corvane::framework::mount {

class MountFileSystem;

// The table; the session's user data must be the MountFileSystem.
const fuse_lowlevel_ops& fuseOperations();

}  // namespace corvane::framework::mount

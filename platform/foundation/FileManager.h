// foundation::FileManager: the few NSFileManager / NSData file operations the
// extension relies on. Failures come back as Cocoa-domain errors with the POSIX
// error underneath, as Foundation reports them; nothing here throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"

namespace foundation {

namespace FileManager {

// The App Group container folder of `groupId`: $CORVANE_APP_GROUPS/<id> when that
// variable is set and not empty, else $XDG_DATA_HOME/corvane/app-groups/<id>, else
// $HOME/.local/share/corvane/app-groups/<id>. Absent when none can be formed.
// The folder is not created.
std::optional<std::filesystem::path> containerURL(const std::string& groupId);

// From now on containerURL is absent for every group in this process, whatever
// the environment says: a run without an App Group container, while other
// lookups of XDG_DATA_HOME and HOME still see their values. Any thread.
void withholdContainers();

// Creates `path` and, when `withIntermediates`, its missing parents, each 0700.
// An existing folder is success (its mode is left alone); an existing non-folder
// is an error.
Status createDirectory(const std::filesystem::path& path, bool withIntermediates);

}  // namespace FileManager

// The one way this project makes a folder under the XDG and App Group roots:
// `path` and each missing parent are made 0700 from the start, so nothing it
// keeps (pending uploads, fetched copies, logs, sockets) is ever open to others,
// not even for a moment. Folders that already exist keep their mode: one the
// user made is theirs to judge (`corvane-fp doctor` says when it is open).
// Returns 0, or an errno value (EEXIST when a non-folder is in the way).
int makePrivateFolders(const std::filesystem::path& path);

namespace FileManager {

// Reads the whole file.
Result<Data> contentsOf(const std::filesystem::path& path);

// Replaces `path` as a whole: the bytes go to a temporary file in the same folder,
// are flushed to disk, and the temporary file is renamed over `path`. A reader in
// any process sees the old contents or the new, never a mixture.
Status writeAtomically(const std::filesystem::path& path, const Data& bytes);
// The same, whole or not at all to a reader, but not made durable: for a file
// that means nothing after a reboot (one in the runtime folder), written often.
Status replaceContents(const std::filesystem::path& path, const Data& bytes);

// Copies the regular file, folder or symbolic link `from` to the new `to` (which
// must not exist); a folder is copied with everything in it. Each file goes by the
// cheapest mechanism the file systems allow: a reflink, else an in-kernel copy.
// Links, `from` itself included, are copied as links with the same target text
// and never followed. Anything else (a pipe, a device, a socket) is refused. The
// source is never changed. A failed copy leaves nothing at `to`.
Status copyItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file, or a folder with everything in it.
Status removeItem(const std::filesystem::path& path);

bool fileExists(const std::filesystem::path& path);

// A Cocoa-domain error for a failed read or write with POSIX error `err`.
Error readError(int err, const std::filesystem::path& path);
Error writeError(int err, const std::filesystem::path& path);

}  // namespace FileManager

}  // namespace foundation

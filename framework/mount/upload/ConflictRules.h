// What the mount does when both sides changed one name: the one place the rules
// are kept (docs/write-semantics.md says them for users).
//
//   1. Nothing replaces or removes a file of the peer's that this mount has not
//      seen: every upload of an edit, rename of a stored file onto a name and
//      delete first asks the peer for the file's version, as close to the act
//      as the calls allow.
//   2. Both changed a file: the peer's version keeps the name, the mount's
//      goes to a conflict copy beside it (UploadQueue).
//   3. One side edited, the other deleted: the edit wins. A delete here of a
//      file the peer changed leaves the peer's file, which comes back; an edit
//      here of a file the peer deleted is stored again, as a conflict copy.
//   4. Both made the same name: both kept, the peer's under the name: a new
//      file's upload looks the name up first (UploadQueue).
//   5. A rename here of a stored file onto a name whose file the peer changed:
//      the rename takes the name, the peer's version goes to a conflict copy.
//   6. A folder removed on one side while the other added to it: the peer
//      refuses to remove a folder that is not empty, so what was added stays.
//
// A conflict copy is named "NAME (conflict YYYY-MM-DD HH.MM.SS).EXT".
#pragma once

#include <ctime>
#include <string>

#include "framework/mount/service/ExtensionCalls.h"
#include "platform/fileprovider/Item.h"
#include "platform/foundation/Result.h"

namespace corvane::framework::mount {

// "NAME (conflict YYYY-MM-DD HH.MM.SS).EXT" at local time `when`; from the
// second try on, a counter after the time. Never longer than the peer takes (kVfsNameMax).
std::string conflictName(const std::string& name, std::time_t when, int attempt);

// Whether the peer's item `now` is still the version `known` this mount saw:
// the same content tag, or only retagged (a tag names the share's epoch too,
// which moves for every item at once when the host restarts after an unclean
// stop; size and date then still agree).
bool unchangedOnPeer(const fileprovider::ItemPtr& known, const fileprovider::ItemPtr& now);

// Rule 5: renames the peer's file `peer` (in its folder) to the first free
// conflict name made from `name`. The item as renamed, or the error.
foundation::Result<fileprovider::ItemPtr> keepAsConflictCopy(ExtensionCalls& calls, const fileprovider::ItemPtr& peer,
                                                             const std::string& name);

}  // namespace corvane::framework::mount

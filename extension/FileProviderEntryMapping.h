// How host entries become framework items in listings and change reports. The
// identifier text of a child is byte-for-byte part of the framework's state, so
// the two joining rules (listings collapse "//", change reports keep it) live here
// side by side. Immutable; any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/fileprovider/ItemIdentifier.h"

namespace corvane {

// The folder a listing or a change report named its entries in. The items made
// from those entries share one of these: it is their parent, and their own
// identifiers are built from it and their names only when asked for, since most
// items of a working set are never asked.
struct EntryFolder {
  enum class Joining {
    listed,   // joined with one "/", then "//" collapsed once
    changed,  // joined with one "/", any "//" kept
  };

  EntryFolder(fileprovider::ItemIdentifier folder, std::string peer, std::string at, Joining rule = Joining::listed,
              fileprovider::ItemIdentifier only = fileprovider::ItemIdentifier(""))
      : identifier(std::move(folder)),
        peerId(std::move(peer)),
        path(std::move(at)),
        joining(rule),
        given(std::move(only)) {}

  fileprovider::ItemIdentifier identifier;
  std::string peerId;
  std::string path;
  Joining joining = Joining::listed;
  // Empty but in the folder made for one item whose identifier was given rather
  // than derived: that item's own. Kept here, not in the item, since an item is
  // made per entry of a share and this is rare.
  fileprovider::ItemIdentifier given;

  // "<peer>::<path>" of the child called `name`.
  std::string childIdentifier(std::string_view name) const;
};

}  // namespace corvane

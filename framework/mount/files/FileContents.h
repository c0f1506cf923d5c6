// FileContents: the bytes of one file of the mount as every handle sees them,
// and the local copies that hold them until the peer has them. MountFileSystem
// keeps one per file that was opened, and maps each kernel request onto it.
//
// A file shows, newest first:
//   - its live copy: a work file that writes, truncates and mapped write-backs
//     change in place;
//   - its sealed copy: the contents as the last close found them, handed to the
//     upload queue, which owns the file from then on and never writes it again;
//   - the peer's contents (from the cache) when it has neither.
// Every handle, reading or writing, opened before or after a change, reads the
// newest of these: one file, as on a local disk.
//
// The rules, all kept here:
//   1. A change goes to the live copy. The first change makes it, from the
//      sealed copy, else from the peer's contents, else empty (a new file); a
//      change that empties the file (O_TRUNC, truncate to 0) copies nothing.
//   2. The close of a handle that may write seals a changed live copy: it is
//      handed to the upload queue and becomes the sealed copy, and the next
//      change makes a new live copy from it. The release of a handle written
//      through after its close seals again: the kernel writes a mapping's
//      pages back after the descriptor was closed, up to munmap.
//   3. An upload that stored the sealed copy (or a later one of the file) makes
//      it clean. A clean sealed copy stays the file's contents while a handle is
//      open, and goes with the last release; the peer's contents, the same
//      bytes, show from then on. A live copy made from a clean sealed copy edits
//      the version the peer stored.
//   4. When the peer kept its own version instead (a conflict copy took the
//      local contents), the sealed copy goes at once. A change made on the
//      peer shows from the first open after every handle closed: until then
//      a clean sealed copy stays what the open handles read and edit, so an
//      edit made through them meets the peer's change as a conflict.
//   5. A file that was unlinked seals nothing more: its copies serve the handles
//      still open and go with the last one.
//
// Thread-safe. Changes, seals and the making of a live copy are serialised on
// `changing_`, which may be held across file I/O and across the calls out to
// the peer's contents and the uploads (which take the caller's locks); the state is guarded by `mutex_`, held only
// briefly and never across a call out. Lock order: `changing_`, then the
// caller's locks (the node table's), then `mutex_`: a caller never calls
// change, create or seal with a lock of its own held.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class FileContents {
 public:
  // One local copy of the file's bytes.
  struct Copy {
    std::filesystem::path path;
    foundation::UniqueFd fd;
    std::optional<foundation::Data> base;  // the peer's content version the edit started from
    bool followsLocal = false;             // made from a sealed copy the peer did not have yet
    bool owned = true;                     // a live copy's file is removed with it; a sealed one is the journal's
    ~Copy();
  };
  using CopyPtr = std::shared_ptr<const Copy>;

  // Where live copies are made: a new, empty work file in the journal's
  // folder, its path and descriptor.
  class WorkFiles {
   public:
    virtual ~WorkFiles() = default;
    virtual foundation::Result<std::pair<std::filesystem::path, foundation::UniqueFd>> newWorkFile() = 0;
  };
  // The peer's contents the file shows while it has no local copy.
  struct Peer {
    foundation::UniqueFd fd;                  // invalid when there are no bytes to copy
    std::optional<foundation::Data> version;  // absent for a file the peer does not have yet
  };
  class PeerSource {
   public:
    virtual ~PeerSource() = default;
    virtual int peerContents(Peer& out) const = 0;  // 0 or an errno
  };
  // Where a seal hands a changed live copy: the upload queue.
  class Uploads {
   public:
    virtual ~Uploads() = default;
    // 0 and the copy's sequence number there (0 when the file went meanwhile
    // and nothing was queued), or an errno.
    virtual int enqueue(const Copy& copy, std::uint64_t& sequence) const = 0;
  };

  explicit FileContents(WorkFiles& workFiles) : workFiles_(workFiles) {}
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;

  // A handle opened / was released. The last release lets a clean sealed copy go.
  void opened();
  void released();

  // Rule 1: runs `change` on the live copy's descriptor, making the copy first
  // (from `peer` when there is no sealed copy). `keepBytes` false: the change
  // empties the file, so nothing is copied into a new live copy. 0 or an errno.
  int change(const PeerSource& peer, bool keepBytes, const std::function<int(int fd)>& change);
  // A new file: an empty live copy, owed to the peer even if nothing is written.
  int create();

  // Rule 2: hands a changed live copy to `uploads`. 0 when there was nothing to
  // seal; on an error the live copy stays as it is and the next seal tries again.
  int seal(const Uploads& uploads);

  // Rules 3 and 4: the upload `sequence` of this file landed. `version` is the
  // content version the peer now holds for the file's name; absent when the
  // peer kept its own (the local contents went to a conflict copy).
  void landed(std::uint64_t sequence, std::optional<foundation::Data> version);
  // Rule 5.
  void unlinked();
  // The file was renamed, which gives its peer version a new tag: copies based
  // on `before` are based on `after`.
  void rebase(const foundation::Data& before, const foundation::Data& after);

  // The copy reads are answered from; null while the file shows the peer's contents.
  CopyPtr readable() const;
  // The size of the local contents; absent while the file shows the peer's.
  std::optional<off_t> size() const;
  // Changed here and not on the peer yet: a live copy with changes, or a sealed one not stored.
  bool dirty() const;
  // Some handle is open on the file.
  bool isOpen() const;
  // The latest sealed upload not yet landed, 0 for none.
  std::uint64_t queued() const;

 private:
  int makeLive(const PeerSource& peer, bool keepBytes);  // REQUIRES: changing_ held

  WorkFiles& workFiles_;
  std::mutex changing_;  // held by a change, a seal and the making of a live copy

  mutable std::mutex mutex_;  // guards everything below
  std::shared_ptr<Copy> live_;
  bool modified_ = false;  // the live copy has changes not sealed yet
  std::shared_ptr<Copy> sealed_;
  std::uint64_t queued_ = 0;                     // sealed_'s upload, until it landed
  std::optional<foundation::Data> peerVersion_;  // what the peer holds of a clean sealed_
  int opens_ = 0;
  bool unlinked_ = false;
  // Renames told while a live copy was being made (makeLive reads the peer's
  // version before it holds mutex_): the copy is based on what they renamed to.
  bool making_ = false;
  std::vector<std::pair<foundation::Data, foundation::Data>> renamedWhileMaking_;
};

}  // namespace corvane::framework::mount

// ExtensionCalls: the mount's way of making framework requests of the extension.
// Each call starts the entry point exactly as the framework would and waits for
// its completion. The extension answers every request, also when the host link
// breaks (-1004). A host that keeps its link open and stops answering is found
// by the HostWatch, within seconds: the calls waiting on it then fail as
// unreachable (-1004), and so do new ones, without reaching the extension,
// until it answers again. A call whose host answers its pings waits as long as
// it takes (a large download may take many minutes); the deadline is only a
// last resort against a completion that never comes while nothing shows the
// host at work.
//
// A change whose answer never came (failed as unreachable, or out of time) may
// have been made on the peer or not; the calls keep a note of it for the mount
// to check against what the peer shows once it answers (takeUnanswered).
//
// Thread-safe: any number of FUSE worker threads call at once.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/CollectingObservers.h"
#include "framework/mount/service/HostWatch.h"
#include "platform/fileprovider/ReplicatedExtension.h"
#include "platform/foundation/Result.h"

namespace corvane::framework::mount {

struct FolderListing {
  std::vector<fileprovider::ItemPtr> items;
  std::optional<fileprovider::SyncAnchor> anchor;  // taken before the listing, so no change slips between
};

struct Fetched {
  std::filesystem::path contents;
  fileprovider::ItemPtr item;  // absent when the metadata refresh failed
};

// A create, modify or delete the peer may or may not have made.
struct UnansweredChange {
  fileprovider::ItemIdentifier folder{""};  // where an item was made or renamed; empty for a delete
  fileprovider::ItemIdentifier item{""};    // the item changed; empty for a creation
  std::string name;                         // the name made or given; empty for a delete

  friend bool operator==(const UnansweredChange&, const UnansweredChange&) = default;
};

class ExtensionCalls {
 public:
  // Without a watch, a host that stops answering is found by the deadline only.
  ExtensionCalls(fileprovider::ReplicatedExtensionPtr extension, std::chrono::milliseconds deadline,
                 std::shared_ptr<HostWatch> watch = nullptr);
  ~ExtensionCalls();
  ExtensionCalls(const ExtensionCalls&) = delete;
  ExtensionCalls& operator=(const ExtensionCalls&) = delete;

  foundation::Result<fileprovider::ItemPtr> item(const fileprovider::ItemIdentifier& identifier);
  foundation::Result<FolderListing> list(const fileprovider::ItemIdentifier& folder);
  // currentSyncAnchor of the container; absent when the extension gave none.
  std::optional<fileprovider::SyncAnchor> currentAnchor(const fileprovider::ItemIdentifier& container);
  foundation::Result<Changes> changes(const fileprovider::ItemIdentifier& folder,
                                      const fileprovider::SyncAnchor& anchor);
  foundation::Result<Fetched> fetch(const fileprovider::ItemIdentifier& identifier);
  foundation::Result<fileprovider::ItemPtr> create(fileprovider::ItemPtr itemTemplate, fileprovider::ItemFields fields,
                                                   const std::optional<std::filesystem::path>& contents);
  foundation::Result<fileprovider::ItemPtr> modify(fileprovider::ItemPtr item, const fileprovider::ItemVersion& base,
                                                   fileprovider::ItemFields fields,
                                                   const std::optional<std::filesystem::path>& contents);
  foundation::Status remove(const fileprovider::ItemIdentifier& identifier, const fileprovider::ItemVersion& base);
  // Tells the extension the first complete listing is in; returns without waiting.
  void importDidFinish();
  // Ends every wait, now and later, with ECANCELED: a stop must not sit out
  // the deadline of a call to a host that never answers.
  void abandonAll();
  // The changes whose answer never came since the last take, oldest first,
  // each once however often it was tried (an upload is, while the host is away).
  std::vector<UnansweredChange> takeUnanswered();

  struct Gate;

 private:
  foundation::Result<std::shared_ptr<fileprovider::Enumerator>> enumerator(const fileprovider::ItemIdentifier& folder);
  // The error a call gets at once while the host is not answering; none while it is.
  std::optional<foundation::Error> refusedWhileUnresponsive(const char* what) const;
  // Keeps `change` when `outcome` leaves it unknown whether the peer made it.
  void noteIfUnanswered(const std::optional<foundation::Error>& outcome, UnansweredChange change);

  const fileprovider::ReplicatedExtensionPtr extension_;
  const std::chrono::milliseconds deadline_;
  const std::shared_ptr<HostWatch> watch_;
  const std::shared_ptr<Gate> gate_;
  std::mutex unansweredMutex_;  // guards unanswered_
  std::vector<UnansweredChange> unanswered_;
};

// The errno a kernel request gets for an error of the extension (or of a call
// that ran out of time).
int errnoFor(const foundation::Error& error);

// Whether the extension answered with the framework's error `code`.
inline bool isFileProviderError(const foundation::Error& error, std::int64_t code) {
  return error.domain() == foundation::kFileProviderErrorDomain && error.code() == code;
}

}  // namespace corvane::framework::mount

// HostFaults: fault injection for tests and the script runner. A fault makes the
// host answer one operation (optionally only for one share path) with a reply
// chosen in advance instead of serving it. One fault kind per reply kind the
// script protocol names, so a script's "fault" op maps onto these types one to
// one:
//
//   {"error": {...}}                     FaultError
//   {"nothing": true}                    FaultNothing
//   {"entry": ENTRY}                     HostFileEntry                (stat)
//   {"entries": [ENTRY...]}              std::vector<HostFileEntry>   (listing)
//   {"token": n}                         FaultToken                   (current token)
//   {"changes": [...], "newToken": n}    HostChangesResult            (change query)
//   {"url": path}                        FaultURL                     (fetch)
//   {"drop": true}                       FaultDrop
//
// A change's three fields are taken as given, so a fault can send changes that
// a well-behaved host never would ({"isRemoved": true, "entry": ...}, or a bare
// {"isRemoved": false}).
//
// Thread-safe: set and clear from any thread while calls are being answered.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/HostError.h"
#include "host/HostTypes.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

namespace corvane::host {

// An error reply. User info holds "corvane.error.code" and
// "NSLocalizedDescription" for the parts that are given, and is absent when
// neither is.
struct FaultError {
  std::string domain = kVfsErrorDomain;
  std::int64_t code = 0;
  std::optional<std::string> codeText = std::nullopt;
  std::optional<std::string> description = std::nullopt;

  foundation::Error toError() const;
};

// Neither a result nor an error: for a stat, "no such item"; for an operation
// that answers only an error, success.
struct FaultNothing {};

struct FaultToken {
  std::uint64_t value = 0;
};

// A file URL, sent as given: nothing checks that a file is there.
struct FaultURL {
  std::string path;
};

// Close the connection instead of answering; the caller's proxy reports the
// broken link, and the host's link reconnects as it would after any loss.
struct FaultDrop {};

using FaultReply = std::variant<FaultError, FaultNothing, HostFileEntry, std::vector<HostFileEntry>, FaultToken,
                                HostChangesResult, FaultURL, FaultDrop>;

class HostFaults {
 public:
  // From now on, answer `selector` (a wire selector of VfsXpcProtocol) with
  // `reply`; with `path`, only calls that name that share path (for a rename,
  // either of its paths; for an upload, the destination). Replaces an earlier
  // fault for the same selector and path. A fault for a path wins over one for
  // the whole selector.
  //
  // -1 "invalid_argument" and nothing changed when the selector is unknown, the
  // reply kind is not one that operation can answer (an entry for a listing),
  // or the path is given for the ping or does not begin with "/".
  [[nodiscard]] foundation::Status set(std::string_view selector, std::optional<std::string> path, FaultReply reply);

  // Removes every fault.
  void clear();

  // The fault for a call of `selector` naming `paths` (none for the ping and the
  // token query), or absent to serve the call normally.
  std::optional<FaultReply> find(std::string_view selector, std::initializer_list<std::string_view> paths) const;

 private:
  mutable std::mutex mutex_;
  // Keyed by selector, then path ("" for the whole selector). Guarded by mutex_.
  std::map<std::string, std::map<std::string, FaultReply, std::less<>>, std::less<>> faults_;
};

}  // namespace corvane::host

// UploadJournal: the uploads a mount owes the peer, kept on disk so that no
// closed file is lost when the mount stops or dies before sending it. It lives
// in $XDG_STATE_HOME/corvane/<domain>/pending/ (else ~/.local/state/...), 0700.
//
// Each upload is two files named by its sequence number: "<n>.data", the file's
// contents as they were closed (never written again), and "<n>.json", the record
// saying where they go. The contents are flushed to disk before the record is
// written, and the record is written atomically (temporary file, fsync, rename,
// folder fsync), so a record on disk always names complete contents.
//
// Not thread-safe: the upload queue serialises every call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

struct PendingUpload {
  std::uint64_t sequence = 0;
  std::string identifier;  // empty: a new file, created on upload
  std::string parentIdentifier;
  std::string name;
  std::string path;                             // where the user sees it in the mount, for messages
  std::optional<foundation::Data> baseVersion;  // the content version the edit was made from
  std::uint64_t size = 0;
  std::uint32_t attempts = 0;
  std::string lastError;
  bool failed = false;  // will not be retried; the contents stay for the user
};

class UploadJournal {
 public:
  // The domain's pending folder, made 0700 when missing.
  static foundation::Result<std::unique_ptr<UploadJournal>> open(const std::string& domain);

  const std::filesystem::path& folder() const { return folder_; }

  // A new empty file for a working copy, in the journal's folder, so that
  // committing it is a rename.
  foundation::Result<std::pair<std::filesystem::path, foundation::UniqueFd>> newWorkFile();

  // Makes `record` durable with the contents at `fd`, the open work file at
  // `workPath`: gives the record its sequence number, flushes the contents,
  // renames them to the record's data file and writes the record.
  foundation::Status commit(PendingUpload& record, int fd, const std::filesystem::path& workPath);
  // Writes a changed record (attempts, error, where it goes) again.
  foundation::Status rewrite(const PendingUpload& record);
  // Forgets an upload: the record first, so a crash in between leaves only
  // contents no record names, which the next load removes.
  void remove(const PendingUpload& record);

  std::filesystem::path dataPath(const PendingUpload& record) const;

  // Every record an earlier run left, oldest first. Contents no record names
  // (work files never closed, a crash between the two writes) are removed; a
  // record that does not decode is renamed "<name>.bad" and left for the user.
  std::vector<PendingUpload> load();

  static std::string encode(const PendingUpload& record);
  // Refuses anything but a record encode() could have written.
  static std::optional<PendingUpload> decode(std::string_view text);

 private:
  explicit UploadJournal(std::filesystem::path folder) : folder_(std::move(folder)) {}

  const std::filesystem::path folder_;
  std::uint64_t nextSequence_ = 1;
};

}  // namespace corvane::framework::mount

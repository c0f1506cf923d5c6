// UploadJournal: the uploads a mount owes the peer, kept on disk so that no
// closed file is lost when the mount stops or dies before sending it. It lives
// in $XDG_STATE_HOME/corvane/<domain>/pending/ (else ~/.local/state/...), 0700.
//
// Each upload is one file: the working copy its contents were written into
// ("work-XXXXXX", never written again once closed), with its record, saying
// where the contents go, in the extended attribute "user.corvane.upload". A
// commit makes no file and renames none. Where the file system keeps no
// extended attributes, or for a record too long for one, the upload is two
// files named by its sequence number: "<n>.data", the contents, and
// "<n>.json", the record.
//
// A commit writes without waiting for the disk: once it returns, the upload
// survives the mount's death (the kernel holds what was written). A flusher
// makes commits durable in batches, with one syncfs() a little after the first
// commit of a batch, and then notes the last sequence number it made durable
// in "durable.json". So a power cut loses at most the last moment of closes: a
// record written in an earlier boot and not noted as durable may name torn
// contents, and the next load sets it aside (its file, or both, renamed with
// ".unflushed" added) instead of sending it. A rewritten record is covered by
// the next flush too.
//
// Not thread-safe, but for the flusher, which keeps to itself: the upload
// queue serialises every call.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "framework/mount/files/FileContents.h"
#include "framework/mount/upload/WorkFilePool.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

struct PendingUpload {
  std::uint64_t sequence = 0;
  std::string identifier;  // empty: a new file, created on upload
  std::string parentIdentifier;
  std::string name;
  std::string path;  // where the user sees it in the mount, for messages
  // The content version the edit was made from (for a new file renamed onto
  // a file of the peer's, that file's as this mount saw it); none for a new
  // file, or in a record of an earlier version, which replaces unchecked.
  std::optional<foundation::Data> baseVersion;
  std::uint64_t size = 0;
  std::uint32_t attempts = 0;
  std::string lastError;
  bool failed = false;  // will not be retried; the contents stay for the user
  std::string boot;     // the boot a commit not yet durable was made in; empty once durable
  // The working copy holding the contents, whose attribute is the record;
  // empty for contents in "<n>.data" with the record in "<n>.json".
  std::string dataName;
};

class UploadJournal final : public FileContents::WorkFiles {
 public:
  // The domain's pending folder, made 0700 when missing. `boot` tells this
  // boot from earlier ones (the kernel's boot id unless a test says otherwise).
  static foundation::Result<std::unique_ptr<UploadJournal>> open(const std::string& domain,
                                                                 std::string boot = currentBoot());
  ~UploadJournal() override;  // makes every commit durable first

  // The kernel's id of this boot, empty when it cannot tell.
  static std::string currentBoot();

  const std::filesystem::path& folder() const { return folder_; }

  // A new empty file for a working copy, in the journal's folder, so that
  // committing it renames nothing (or, for an upload kept as two files, moves
  // it within one folder). Thread-safe.
  foundation::Result<std::pair<std::filesystem::path, foundation::UniqueFd>> newWorkFile() override;

  // Keeps `record` with the contents at `fd`, the open work file at
  // `workPath`: gives the record its sequence number and writes it into the
  // working copy's attribute, or, where that cannot hold it, renames the
  // contents to "<n>.data" and writes "<n>.json"; the flusher makes it
  // durable soon after.
  foundation::Status commit(PendingUpload& record, int fd, const std::filesystem::path& workPath);
  // Writes a changed record (attempts, error, where it goes) again, durable
  // with the flusher's next round, or at once through flush(): a power cut
  // before it keeps the record as it was. Callers hold locks that requests
  // wait for, so it never waits for the disk itself. One grown too long for
  // an attribute moves to files of its own (durably), which `record` then says.
  foundation::Status rewrite(PendingUpload& record);
  // Waits until every commit and rewrite so far is durable.
  void flush();
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
  UploadJournal(std::filesystem::path folder, std::string boot)
      : folder_(std::move(folder)), boot_(std::move(boot)), workFiles_(folder_) {}
  void runFlusher();
  std::filesystem::path recordPath(std::uint64_t sequence) const;
  foundation::Status writeRecord(const PendingUpload& record);
  // For a record kept as an attribute: writes it again there, or, when it no
  // longer fits, into files of its own.
  foundation::Status writeAttribute(PendingUpload& record);
  foundation::Status toRecordFiles(PendingUpload& record);
  std::optional<PendingUpload> loadAttribute(const std::filesystem::path& file, std::uint64_t mark,
                                             std::vector<char>& buffer);
  std::optional<PendingUpload> loadRecordFile(const std::filesystem::path& file, std::uint64_t sequence,
                                              std::uint64_t mark);
  void takeAttributed(std::vector<PendingUpload> attributed, const std::set<std::uint64_t>& named,
                      std::vector<PendingUpload>& records);
  void owe(std::optional<std::uint64_t> sequence);
  std::uint64_t durableMark() const;  // the sequence "durable.json" notes, 0 for none

  const std::filesystem::path folder_;
  const std::string boot_;
  WorkFilePool workFiles_;
  std::uint64_t nextSequence_ = 1;
  bool recordFiles_ = false;  // the folder's file system keeps no extended attributes
  // Records of uploads that landed, kept as files to write the next records
  // into: a file system that keeps away from inodes just freed (ext4 without
  // a journal) slows down with every file made and deleted.
  std::vector<std::filesystem::path> spares_;

  std::mutex flushMutex_;  // guards what follows
  std::condition_variable flushChanged_;
  std::uint64_t committed_ = 0;  // the last sequence committed
  std::uint64_t durable_ = 0;    // the last sequence known durable
  std::uint64_t renames_ = 0;    // records rewritten, counted
  std::uint64_t renamesDurable_ = 0;
  bool urgent_ = false;  // someone waits in flush(): no gathering
  bool stopping_ = false;
  std::thread flusher_;  // started with the first commit
};

}  // namespace corvane::framework::mount

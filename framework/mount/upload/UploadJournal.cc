#include "framework/mount/upload/UploadJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "framework/mount/common/PosixError.h"
#include "framework/mount/common/UserFolders.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/FolderContents.h"

namespace corvane::framework::mount {

namespace {

bool writeAll(const foundation::UniqueFd& out, const std::string& text) {
  return out.valid() && ::write(out.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

constexpr const char* kRecordAttribute = "user.corvane.upload";

// A working copy as WorkFilePool names them: "work-" and six letters or digits.
bool isWorkFile(const std::string& name) {
  return name.size() == 11 && name.starts_with("work-") && name.find('.') == std::string::npos;
}

// Too long for the file system's attribute space, as each says it.
bool tooLong(int err) { return err == E2BIG || err == ENOSPC || err == ERANGE; }

// "<n>.json" or "<n>.data" with n a plain decimal number; 0 otherwise.
std::uint64_t sequenceOf(const std::filesystem::path& file, std::string_view extension) {
  if (file.extension() != extension) return 0;
  const std::string stem = file.stem().string();
  if (stem.empty() || stem.size() > 19 || stem.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::strtoull(stem.c_str(), nullptr, 10);
}

}  // namespace

foundation::Result<std::unique_ptr<UploadJournal>> UploadJournal::open(const std::string& domain, std::string boot) {
  auto state = domainStateFolder(domain);
  if (!state) return posixError(ENOENT, "set XDG_STATE_HOME or HOME to say where pending uploads are kept");
  const auto folder = *state / "pending";
  if (int err = foundation::makePrivateFolders(folder)) return posixError(err, "cannot make " + folder.string());
  return std::unique_ptr<UploadJournal>(new UploadJournal(folder, std::move(boot)));
}

UploadJournal::~UploadJournal() {
  flush();
  {
    std::lock_guard guard(flushMutex_);
    stopping_ = true;
  }
  flushChanged_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

std::string UploadJournal::currentBoot() {
  auto text = foundation::FileManager::contentsOf("/proc/sys/kernel/random/boot_id");
  if (!text.ok()) return "";
  std::string boot = foundation::stringFromData(*text);
  while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
  return boot;
}

foundation::Result<std::pair<std::filesystem::path, foundation::UniqueFd>> UploadJournal::newWorkFile() {
  return workFiles_.take();
}

std::filesystem::path UploadJournal::dataPath(const PendingUpload& record) const {
  return folder_ / (record.dataName.empty() ? std::to_string(record.sequence) + ".data" : record.dataName);
}

foundation::Status UploadJournal::commit(PendingUpload& record, int fd, const std::filesystem::path& workPath) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return posixError(errno, "cannot read " + workPath.string());
  record.sequence = nextSequence_++;
  record.size = static_cast<std::uint64_t>(st.st_size);
  record.boot = boot_;
  record.dataName.clear();
  if (!recordFiles_) {
    // On the working copy itself: the close that commits makes no file and
    // renames none, which in a folder of thousands is most of what it costs.
    const std::string text = encode(record);
    if (::fsetxattr(fd, kRecordAttribute, text.data(), text.size(), XATTR_CREATE) == 0) {
      record.dataName = workPath.filename().string();
      owe(record.sequence);
      return foundation::Ok{};
    }
    if (errno == ENOTSUP) recordFiles_ = true;
    // Else too long for an attribute, or refused: this one gets files of its own.
  }
  const auto data = dataPath(record);
  if (::rename(workPath.c_str(), data.c_str()) != 0) return posixError(errno, "cannot keep " + data.string());
  if (auto written = writeRecord(record); !written.ok()) {
    (void)::rename(data.c_str(), workPath.c_str());
    return written;
  }
  owe(record.sequence);
  return foundation::Ok{};
}

foundation::Status UploadJournal::rewrite(PendingUpload& record) {
  auto written = record.dataName.empty() ? writeRecord(record) : writeAttribute(record);
  if (!written.ok()) return written;
  owe(std::nullopt);
  return foundation::Ok{};
}

foundation::Status UploadJournal::writeAttribute(PendingUpload& record) {
  const auto path = dataPath(record);
  const std::string text = encode(record);
  if (::setxattr(path.c_str(), kRecordAttribute, text.data(), text.size(), XATTR_REPLACE) != 0) {
    if (tooLong(errno)) return toRecordFiles(record);
    return posixError(errno, "cannot write the record of " + path.string());
  }
  return foundation::Ok{};
}

// A record grown too long for an attribute (a longer name, a long error) moves
// to "<n>.json", its contents to "<n>.data". The contents get their second name
// first and lose the first one last, so that a crash at any step leaves the
// upload under one name or both; load() takes the record file when both are
// there. Durable when it returns.
foundation::Status UploadJournal::toRecordFiles(PendingUpload& record) {
  const auto work = dataPath(record);
  PendingUpload moved = record;
  moved.dataName.clear();
  const auto data = dataPath(moved);
  if (::link(work.c_str(), data.c_str()) != 0 && errno != EEXIST) {
    return posixError(errno, "cannot keep " + data.string());
  }
  if (auto written = foundation::FileManager::writeAtomically(recordPath(moved.sequence),
                                                              foundation::dataFromString(encode(moved)));
      !written.ok()) {
    return written;
  }
  ::unlink(work.c_str());
  record.dataName.clear();
  return foundation::Ok{};
}

std::filesystem::path UploadJournal::recordPath(std::uint64_t sequence) const {
  return folder_ / (std::to_string(sequence) + ".json");
}

// Written into a spare, else a file of its own, which becomes the record whole
// with its rename: a mount that dies halfway leaves no torn record. Only the
// queue writes records, one call at a time, so the temporary name is free; a
// leftover goes with the next load. A spare is written over and cut to length,
// not emptied first: emptying frees its block, and on a file system mounted
// with "discard" that waits for the disk, in the close that commits.
foundation::Status UploadJournal::writeRecord(const PendingUpload& record) {
  const auto path = recordPath(record.sequence);
  const std::string text = encode(record);
  auto place = [&](const std::filesystem::path& from, int flags) {
    foundation::UniqueFd out(::open(from.c_str(), O_WRONLY | O_CLOEXEC | flags, 0600));
    if (writeAll(out, text) && ::ftruncate(out.get(), static_cast<off_t>(text.size())) == 0 &&
        ::close(out.release()) == 0 && ::rename(from.c_str(), path.c_str()) == 0) {
      return 0;
    }
    const int err = errno ? errno : EIO;
    ::unlink(from.c_str());
    return err;
  };
  while (!spares_.empty()) {
    const auto spare = std::move(spares_.back());
    spares_.pop_back();
    if (place(spare, 0) == 0) return foundation::Ok{};
  }
  if (int err = place(path.string() + ".tmp", O_CREAT | O_TRUNC)) {
    return posixError(err, "cannot write " + path.string());
  }
  return foundation::Ok{};
}

// The flusher makes a commit (`sequence`), or a rewritten record, durable soon.
void UploadJournal::owe(std::optional<std::uint64_t> sequence) {
  {
    std::lock_guard guard(flushMutex_);
    if (sequence) {
      committed_ = *sequence;
    } else {
      ++renames_;
    }
    if (!flusher_.joinable()) flusher_ = std::thread([this] { runFlusher(); });
  }
  flushChanged_.notify_all();
}

void UploadJournal::flush() {
  std::unique_lock lock(flushMutex_);
  auto done = [&] { return durable_ >= committed_ && renamesDurable_ >= renames_; };
  if (done()) return;
  urgent_ = true;
  flushChanged_.notify_all();
  flushChanged_.wait(lock, done);
}

// Gathers the commits of a moment, then makes them durable with one syncfs()
// and notes how far that went. A failed syncfs notes nothing: after a power
// cut those records are set aside, not sent torn.
void UploadJournal::runFlusher() {
  constexpr auto kGather = std::chrono::milliseconds(300);
  const foundation::UniqueFd folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::unique_lock lock(flushMutex_);
  while (true) {
    auto owed = [&] { return committed_ > durable_ || renames_ > renamesDurable_; };
    flushChanged_.wait(lock, [&] { return stopping_ || owed(); });
    if (!owed()) return;
    flushChanged_.wait_for(lock, kGather, [&] { return stopping_ || urgent_; });
    const std::uint64_t through = committed_;
    const std::uint64_t renamesThrough = renames_;
    lock.unlock();
    if (folder.valid() && ::syncfs(folder.get()) == 0 && through > durable_) {
      const nlohmann::json mark = {{"through", through}};
      (void)foundation::FileManager::writeAtomically(folder_ / "durable.json", foundation::dataFromString(mark.dump()));
    }
    lock.lock();
    durable_ = std::max(durable_, through);
    renamesDurable_ = std::max(renamesDurable_, renamesThrough);
    if (!owed()) urgent_ = false;
    flushChanged_.notify_all();
  }
}

std::uint64_t UploadJournal::durableMark() const {
  auto text = foundation::FileManager::contentsOf(folder_ / "durable.json");
  if (!text.ok()) return 0;
  auto json = nlohmann::json::parse(foundation::stringFromData(*text), nullptr, false);
  if (!json.is_object() || json.size() != 1 || !json.contains("through") || !json["through"].is_number_unsigned()) {
    return 0;
  }
  return json["through"].get<std::uint64_t>();
}

void UploadJournal::remove(const PendingUpload& record) {
  if (!record.dataName.empty()) {
    ::unlink(dataPath(record).c_str());
    return;
  }
  constexpr std::size_t kSpares = 64;
  const auto path = recordPath(record.sequence);
  auto spare = folder_ / ("spare-" + std::to_string(record.sequence));
  if (spares_.size() < kSpares && ::rename(path.c_str(), spare.c_str()) == 0) {
    spares_.push_back(std::move(spare));
  } else {
    ::unlink(path.c_str());
  }
  ::unlink(dataPath(record).c_str());
}

std::vector<PendingUpload> UploadJournal::load() {
  workFiles_.clear();
  std::vector<PendingUpload> records;
  std::vector<PendingUpload> attributed;  // records kept as attributes
  std::vector<std::filesystem::path> others;
  const std::uint64_t mark = durableMark();
  nextSequence_ = std::max(nextSequence_, mark + 1);
  std::vector<char> attribute(std::size_t{1} << 16);  // the most any file system keeps in one
  for (const auto& file : foundation::contentsOfFolder(folder_)) {
    if (isWorkFile(file.filename().string())) {
      if (auto record = loadAttribute(file, mark, attribute)) attributed.push_back(std::move(*record));
    } else if (std::uint64_t sequence = sequenceOf(file, ".json")) {
      if (auto record = loadRecordFile(file, sequence, mark)) records.push_back(std::move(*record));
    } else {
      others.push_back(file);
    }
  }
  std::set<std::uint64_t> named;
  for (const auto& record : records) named.insert(record.sequence);
  takeAttributed(std::move(attributed), named, records);
  for (const auto& record : records) nextSequence_ = std::max(nextSequence_, record.sequence + 1);
  std::error_code error;
  for (const auto& file : others) {
    const std::string name = file.filename().string();
    const bool orphanData = sequenceOf(file, ".data") && !named.count(sequenceOf(file, ".data"));
    const bool leftOver = name.starts_with("spare-") || name.find(".tmp") != std::string::npos;
    if (orphanData || leftOver) std::filesystem::remove(file, error);
  }
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  return records;
}

// A working copy's record, from its attribute; none for a copy never closed
// (removed), one that does not decode (set aside as ".bad") or one an earlier
// boot may not have made durable (set aside as ".unflushed").
std::optional<PendingUpload> UploadJournal::loadAttribute(const std::filesystem::path& file, std::uint64_t mark,
                                                          std::vector<char>& buffer) {
  std::error_code error;
  const ssize_t n = ::getxattr(file.c_str(), kRecordAttribute, buffer.data(), buffer.size());
  if (n < 0) {
    // A working copy never closed, or one made ahead and never handed out.
    if (errno == ENODATA || errno == ENOTSUP) std::filesystem::remove(file, error);
    return std::nullopt;
  }
  auto record = decode(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  if (!record) {
    std::filesystem::rename(file, file.string() + ".bad", error);
    return std::nullopt;
  }
  record->dataName = file.filename().string();
  if (!record->boot.empty() && record->boot != boot_ && record->sequence > mark) {
    nextSequence_ = std::max(nextSequence_, record->sequence + 1);
    std::filesystem::rename(file, file.string() + ".unflushed", error);
    return std::nullopt;
  }
  return record;
}

// A record kept in "<n>.json" beside its "<n>.data"; set aside as the above.
std::optional<PendingUpload> UploadJournal::loadRecordFile(const std::filesystem::path& file, std::uint64_t sequence,
                                                           std::uint64_t mark) {
  std::error_code error;
  auto text = foundation::FileManager::contentsOf(file);
  auto record = text.ok() ? decode(foundation::stringFromData(*text)) : std::nullopt;
  if (!record || record->sequence != sequence || !std::filesystem::is_regular_file(dataPath(*record), error)) {
    std::filesystem::rename(file, file.string() + ".bad", error);
    return std::nullopt;
  }
  if (!record->boot.empty() && record->boot != boot_ && record->sequence > mark) {
    // Closed just before the machine went down, and maybe never on disk whole.
    nextSequence_ = std::max(nextSequence_, record->sequence + 1);
    std::filesystem::rename(file, file.string() + ".unflushed", error);
    std::filesystem::rename(dataPath(*record), dataPath(*record).string() + ".unflushed", error);
    return std::nullopt;
  }
  return record;
}

// Both kinds for one number: the record was moving to files of its own, and
// the working copy's name is the contents' second one. Anything else with a
// number taken is not this journal's to send.
void UploadJournal::takeAttributed(std::vector<PendingUpload> attributed, const std::set<std::uint64_t>& named,
                                   std::vector<PendingUpload>& records) {
  std::error_code error;
  std::set<std::uint64_t> taken = named;
  for (auto& record : attributed) {
    const auto path = dataPath(record);
    if (taken.insert(record.sequence).second) {
      records.push_back(std::move(record));
      continue;
    }
    PendingUpload files = record;
    files.dataName.clear();
    struct stat mine {};
    struct stat theirs {};
    const bool sameContents = named.count(record.sequence) && ::stat(path.c_str(), &mine) == 0 &&
                              ::stat(dataPath(files).c_str(), &theirs) == 0 && mine.st_ino == theirs.st_ino &&
                              mine.st_dev == theirs.st_dev;
    if (sameContents) {
      ::unlink(path.c_str());
    } else {
      std::filesystem::rename(path, path.string() + ".bad", error);
    }
  }
}

std::string UploadJournal::encode(const PendingUpload& record) {
  nlohmann::ordered_json json = {{"sequence", record.sequence},
                                 {"identifier", record.identifier},
                                 {"parent", record.parentIdentifier},
                                 {"name", record.name},
                                 {"path", record.path},
                                 {"baseVersion", nullptr},
                                 {"size", record.size},
                                 {"attempts", record.attempts},
                                 {"lastError", record.lastError},
                                 {"failed", record.failed},
                                 {"boot", record.boot}};
  if (record.baseVersion) json["baseVersion"] = foundation::hexString(*record.baseVersion);
  return json.dump() + "\n";
}

std::optional<PendingUpload> UploadJournal::decode(std::string_view text) {
  auto json = nlohmann::json::parse(text, nullptr, false);
  // Records written before commits carried their boot have none: they were durable.
  if (!json.is_object() || json.size() != (json.contains("boot") ? 11u : 10u)) return std::nullopt;
  auto text_ = [&](const char* key) { return json.contains(key) && json[key].is_string(); };
  auto number = [&](const char* key) { return json.contains(key) && json[key].is_number_unsigned(); };
  if (!number("sequence") || !text_("identifier") || !text_("parent") || !text_("name") || !text_("path") ||
      !json.contains("baseVersion") || !number("size") || !number("attempts") || !text_("lastError") ||
      !json.contains("failed") || !json["failed"].is_boolean()) {
    return std::nullopt;
  }
  PendingUpload record;
  record.sequence = json["sequence"].get<std::uint64_t>();
  record.identifier = json["identifier"].get<std::string>();
  record.parentIdentifier = json["parent"].get<std::string>();
  record.name = json["name"].get<std::string>();
  record.path = json["path"].get<std::string>();
  record.size = json["size"].get<std::uint64_t>();
  if (json["attempts"].get<std::uint64_t>() > UINT32_MAX) return std::nullopt;
  record.attempts = json["attempts"].get<std::uint32_t>();
  record.lastError = json["lastError"].get<std::string>();
  record.failed = json["failed"].get<bool>();
  if (json.contains("boot")) {
    if (!json["boot"].is_string()) return std::nullopt;
    record.boot = json["boot"].get<std::string>();
  }
  if (const auto& base = json["baseVersion"]; base.is_string()) {
    record.baseVersion = foundation::dataFromHex(base.get<std::string>());
    if (!record.baseVersion) return std::nullopt;
  } else if (!base.is_null()) {
    return std::nullopt;
  }
  // A record names one file in one folder of the share.
  if (record.sequence == 0 || record.name.empty() || record.name == "." || record.name == ".." ||
      record.name.find_first_of(std::string("/\0", 2)) != std::string::npos || record.parentIdentifier.empty()) {
    return std::nullopt;
  }
  return record;
}

}  // namespace corvane::framework::mount

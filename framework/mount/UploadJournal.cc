#include "framework/mount/UploadJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "framework/mount/PosixError.h"
#include "framework/mount/UserFolders.h"
#include "platform/foundation/FileManager.h"

namespace corvane::framework::mount {

namespace {

bool writeAll(const foundation::UniqueFd& out, const std::string& text) {
  return out.valid() && ::write(out.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

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
  return folder_ / (std::to_string(record.sequence) + ".data");
}

foundation::Status UploadJournal::commit(PendingUpload& record, int fd, const std::filesystem::path& workPath) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return posixError(errno, "cannot read " + workPath.string());
  record.sequence = nextSequence_++;
  record.size = static_cast<std::uint64_t>(st.st_size);
  record.boot = boot_;
  const auto data = dataPath(record);
  if (::rename(workPath.c_str(), data.c_str()) != 0) return posixError(errno, "cannot keep " + data.string());
  if (auto written = writeRecord(record); !written.ok()) {
    (void)::rename(data.c_str(), workPath.c_str());
    return written;
  }
  owe(record.sequence);
  return foundation::Ok{};
}

foundation::Status UploadJournal::renamed(const PendingUpload& record) {
  if (auto written = writeRecord(record); !written.ok()) return written;
  owe(std::nullopt);
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

// The flusher makes a commit (`sequence`), or a renamed record, durable soon.
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

foundation::Status UploadJournal::rewrite(const PendingUpload& record) {
  return foundation::FileManager::writeAtomically(recordPath(record.sequence),
                                                  foundation::dataFromString(encode(record)));
}

void UploadJournal::remove(const PendingUpload& record) {
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
  std::vector<std::filesystem::path> others;
  std::error_code error;
  const std::uint64_t mark = durableMark();
  nextSequence_ = std::max(nextSequence_, mark + 1);
  for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
    const auto& file = entry.path();
    if (std::uint64_t sequence = sequenceOf(file, ".json")) {
      auto text = foundation::FileManager::contentsOf(file);
      auto record = text.ok() ? decode(foundation::stringFromData(*text)) : std::nullopt;
      if (!record || record->sequence != sequence || !std::filesystem::is_regular_file(dataPath(*record))) {
        std::filesystem::rename(file, file.string() + ".bad", error);
        continue;
      }
      if (!record->boot.empty() && record->boot != boot_ && record->sequence > mark) {
        // Closed just before the machine went down, and maybe never on disk whole.
        nextSequence_ = std::max(nextSequence_, record->sequence + 1);
        std::filesystem::rename(file, file.string() + ".unflushed", error);
        std::filesystem::rename(dataPath(*record), dataPath(*record).string() + ".unflushed", error);
        continue;
      }
      records.push_back(std::move(*record));
    } else {
      others.push_back(file);
    }
  }
  std::set<std::uint64_t> named;
  for (const auto& record : records) {
    named.insert(record.sequence);
    nextSequence_ = std::max(nextSequence_, record.sequence + 1);
  }
  for (const auto& file : others) {
    const std::string name = file.filename().string();
    const bool orphanData = sequenceOf(file, ".data") && !named.count(sequenceOf(file, ".data"));
    const bool leftOver =
        name.starts_with("work-") || name.starts_with("spare-") || name.find(".tmp") != std::string::npos;
    if (orphanData || leftOver) std::filesystem::remove(file, error);
  }
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  return records;
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

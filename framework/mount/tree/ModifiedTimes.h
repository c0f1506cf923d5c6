// ModifiedTimes: the modification dates this mount gave files (a write, touch
// -d, cp -p, rsync -a, tar -x), kept across remounts. The peer stores the time
// of the upload and has no call to set a date, so each date is kept beside the
// content version it belongs to: it holds while the peer's contents stay that
// version, and a change made on the peer shows the peer's date again.
//
// One append-only file, "times.log" in the domain's state folder: a JSON line
// per date kept ({"id", "version" in hex, "time" in seconds}), and a line with a
// null version for a file that went; the last line for an identifier wins. Lines
// are appended without waiting for the disk (a date is worth less than a file's
// bytes), and a line that does not decode, as one cut short by a crash, is
// skipped. Once the file holds many more lines than dates, it is written anew
// in one rename.
//
// Thread-safe; its lock is a leaf. The file is written on a queue of its own:
// callers keep dates with the mount's tree locked, and a write, let alone the
// flushes of a rewrite, must not make every getattr wait for the disk. The
// queue drains before the object goes, so whatever was kept is on file then.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class ModifiedTimes {
 public:
  // The domain's file, read whole; made when missing.
  static foundation::Result<std::unique_ptr<ModifiedTimes>> open(const std::string& domain);

  // The date kept for `identifier` at `version`, if one is.
  std::optional<double> find(const std::string& identifier, const foundation::Data& version) const;
  void keep(const std::string& identifier, const foundation::Data& version, double time);
  void forget(const std::string& identifier);

  std::size_t size() const;

 private:
  explicit ModifiedTimes(std::filesystem::path file) : file_(std::move(file)) {}
  void load();
  void append(std::string line);  // mutex_ held
  void compact();                 // on disk_

  const std::filesystem::path file_;
  mutable std::mutex mutex_;  // guards what follows
  std::unordered_map<std::string, std::pair<foundation::Data, double>> dates_;
  std::size_t lines_ = 0;    // in the file, or on their way to it
  bool compacting_ = false;  // a rewrite is queued
  bool torn_ = false;        // its last line has no end
  foundation::UniqueFd out_;  // used on disk_ alone once open() returns
  dispatch::Queue disk_{"corvane.times", dispatch::QualityOfService::utility};  // last: drained first
};

}  // namespace corvane::framework::mount

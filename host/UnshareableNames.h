// UnshareableNames: the entries of a share that cannot be shown to the peer's
// side, because their names are not UTF-8 (Linux names are bytes; the link, the
// identifiers and every record carry text). Such an entry is left out of
// listings, the working set and change reports; everything else in its folder
// keeps working. Each name is warned about once on standard error (the host's
// log), not once per listing, and the current count is kept in a small file
// that `corvane-fp doctor` reads.
//
// Thread-safe: listings on worker threads and the change tracker report at once.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::host {

class UnshareableNames {
 public:
  // Where the count goes, written atomically whenever it changes: a JSON object
  // {"count": N, "reason": "...", "examples": [...]} with up to five names,
  // each with its bad bytes written as \xNN. None until this is called.
  void reportTo(std::filesystem::path file);

  // What one read of `folder` (a share path text) left out: replaces what an
  // earlier read of it left out.
  void folderRead(const std::string& folder, std::vector<std::string> hidden);

  std::size_t count() const;

 private:
  void writeReport() const;  // REQUIRES: mutex_ held

  mutable std::mutex mutex_;
  std::map<std::string, std::set<std::string>> byFolder_;  // printable names
  std::size_t count_ = 0;
  std::optional<std::filesystem::path> report_;
};

}  // namespace corvane::host

#include "host/UnshareableNames.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "platform/foundation/Data.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Utf8.h"

namespace corvane::host {

void UnshareableNames::reportTo(std::filesystem::path file) {
  std::lock_guard guard(mutex_);
  report_ = std::move(file);
  writeReport();
}

void UnshareableNames::folderRead(const std::string& folder, std::vector<std::string> hidden) {
  std::set<std::string> now;
  for (const auto& name : hidden) now.insert(foundation::printableUtf8(name));
  std::lock_guard guard(mutex_);
  auto found = byFolder_.find(folder);
  if (found == byFolder_.end() && now.empty()) return;
  std::set<std::string> before = found == byFolder_.end() ? std::set<std::string>{} : std::move(found->second);
  for (const auto& name : now) {
    if (before.count(name)) continue;
    std::fprintf(stderr,
                 "corvane host: %s%s%s is not shown to the peer's side: its name is not UTF-8; rename it to share it\n",
                 folder.c_str(), folder == "/" ? "" : "/", name.c_str());
  }
  count_ = count_ - before.size() + now.size();
  const bool changed = before != now;
  if (now.empty()) {
    byFolder_.erase(folder);
  } else {
    byFolder_[folder] = std::move(now);
  }
  if (changed) writeReport();
}

std::size_t UnshareableNames::count() const {
  std::lock_guard guard(mutex_);
  return count_;
}

void UnshareableNames::writeReport() const {
  if (!report_) return;
  auto examples = nlohmann::json::array();
  for (const auto& [folder, names] : byFolder_) {
    for (const auto& name : names) {
      if (examples.size() == 5) break;
      examples.push_back(folder + (folder == "/" ? "" : "/") + name);
    }
  }
  const nlohmann::json report = {{"count", count_}, {"reason", "not UTF-8"}, {"examples", examples}};
  // Printable names are UTF-8 by construction; replace is for the folder part,
  // which came through the same check.
  const std::string text = report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  (void)foundation::FileManager::writeAtomically(*report_, foundation::dataFromString(text));
}

}  // namespace corvane::host

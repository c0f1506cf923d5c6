#include "framework/mount/tree/ModifiedTimes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include <nlohmann/json.hpp>

#include "framework/mount/common/PosixError.h"
#include "framework/mount/common/UserFolders.h"
#include "platform/foundation/FileManager.h"

namespace corvane::framework::mount {

namespace {

std::string lineFor(const std::string& identifier, const std::optional<foundation::Data>& version, double time) {
  nlohmann::ordered_json json = {{"id", identifier}, {"version", nullptr}, {"time", time}};
  if (version) json["version"] = foundation::hexString(*version);
  return json.dump() + "\n";
}

}  // namespace

foundation::Result<std::unique_ptr<ModifiedTimes>> ModifiedTimes::open(const std::string& domain) {
  auto state = domainStateFolder(domain);
  if (!state) return posixError(ENOENT, "set XDG_STATE_HOME or HOME to say where modification dates are kept");
  if (int err = foundation::makePrivateFolders(*state)) return posixError(err, "cannot make " + state->string());
  std::unique_ptr<ModifiedTimes> times(new ModifiedTimes(*state / "times.log"));
  std::lock_guard guard(times->mutex_);
  times->load();
  times->out_ = foundation::UniqueFd(::open(times->file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!times->out_.valid()) return posixError(errno, "cannot write " + times->file_.string());
  // A line a crash cut short ends here, so the next one starts on a line of its own.
  if (times->torn_) (void)!::write(times->out_.get(), "\n", 1);
  return times;
}

void ModifiedTimes::load() {
  std::ifstream in(file_);
  for (std::string line; std::getline(in, line);) {
    ++lines_;
    torn_ = in.eof();  // the last line had no end
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object() || json.size() != 3 || !json.contains("id") || !json["id"].is_string() ||
        !json.contains("time") || !json["time"].is_number() || !json.contains("version")) {
      continue;
    }
    const auto id = json["id"].get<std::string>();
    if (json["version"].is_null()) {
      dates_.erase(id);
      continue;
    }
    const double time = json["time"].get<double>();
    auto version = json["version"].is_string() ? foundation::dataFromHex(json["version"].get<std::string>())
                                               : std::nullopt;
    if (id.empty() || !version || !std::isfinite(time)) continue;
    dates_[id] = {std::move(*version), time};
  }
}

std::optional<double> ModifiedTimes::find(const std::string& identifier, const foundation::Data& version) const {
  std::lock_guard guard(mutex_);
  auto found = dates_.find(identifier);
  if (found == dates_.end() || found->second.first != version) return std::nullopt;
  return found->second.second;
}

void ModifiedTimes::keep(const std::string& identifier, const foundation::Data& version, double time) {
  std::lock_guard guard(mutex_);
  auto& date = dates_[identifier];
  if (date.first == version && date.second == time) return;
  date = {version, time};
  append(lineFor(identifier, version, time));
}

void ModifiedTimes::forget(const std::string& identifier) {
  std::lock_guard guard(mutex_);
  if (dates_.erase(identifier) == 0) return;
  append(lineFor(identifier, std::nullopt, 0));
}

std::size_t ModifiedTimes::size() const {
  std::lock_guard guard(mutex_);
  return dates_.size();
}

void ModifiedTimes::append(std::string line) {
  ++lines_;
  disk_.async([this, line = std::move(line)] {
    // A failed write loses a date, never a file: the peer's date shows instead.
    (void)!::write(out_.get(), line.data(), line.size());
  });
  if (compacting_ || lines_ <= 2 * dates_.size() + 1000) return;
  compacting_ = true;
  disk_.async([this] { compact(); });
}

// The dates as they are when the rewrite begins: a line queued behind it is
// appended to the new file, and says again what the rewrite wrote.
void ModifiedTimes::compact() {
  std::string text;
  std::size_t written, counted;
  {
    std::lock_guard guard(mutex_);
    compacting_ = false;
    for (const auto& [identifier, date] : dates_) text += lineFor(identifier, date.first, date.second);
    written = dates_.size();
    counted = lines_;
  }
  if (!foundation::FileManager::writeAtomically(file_, foundation::dataFromString(text)).ok()) return;
  foundation::UniqueFd out(::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!out.valid()) return;
  out_ = std::move(out);
  std::lock_guard guard(mutex_);
  lines_ = written + (lines_ - counted);  // and those queued since
}

}  // namespace corvane::framework::mount

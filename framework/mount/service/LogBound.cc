#include "framework/mount/service/LogBound.h"

#include <cstdio>

namespace corvane::framework::mount {

std::filesystem::path LogBound::olderOf(const std::filesystem::path& file) {
  return file.parent_path() / (file.stem().string() + ".1" + file.extension().string());
}

bool LogBound::check() {
  checked_ = std::chrono::steady_clock::now();
  std::error_code error;
  const auto size = std::filesystem::file_size(file_, error);
  if (error || size <= maxBytes_) return false;
  // One rename, over the older file: a record appended meanwhile lands in one
  // file or the other, whole.
  return std::rename(file_.c_str(), olderOf(file_).c_str()) == 0;
}

void LogBound::checkNowAndThen() {
  if (std::chrono::steady_clock::now() - checked_ >= std::chrono::minutes(1)) (void)check();
}

}  // namespace corvane::framework::mount

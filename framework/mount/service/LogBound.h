// LogBound: keeps a log file near a size. Past it, the file becomes
// NAME.1.EXT (the one older file kept, the one before it gone) and its writers
// start a new one. The extension's event log is opened for each record it
// appends, so a rename is all it takes; the host's, opened once by each host
// process, moves on when the next host starts.
//
// The mount does this for the logs of its domain: it is the process that owns
// the domain, and the extension's writer only ever appends.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace corvane::framework::mount {

// Each log and its older file together stay near twice this.
inline constexpr std::uintmax_t kLogMaxBytes = 8u << 20;

class LogBound {
 public:
  LogBound(std::filesystem::path file, std::uintmax_t maxBytes = kLogMaxBytes)
      : file_(std::move(file)), maxBytes_(maxBytes) {}

  // Rotates now when the file is past the size; true when it did.
  bool check();
  // check(), at most once a minute: for a caller that runs every second or so.
  void checkNowAndThen();

  // "a/log.jsonl" -> "a/log.1.jsonl".
  static std::filesystem::path olderOf(const std::filesystem::path& file);

 private:
  const std::filesystem::path file_;
  const std::uintmax_t maxBytes_;
  std::chrono::steady_clock::time_point checked_{};
};

}  // namespace corvane::framework::mount

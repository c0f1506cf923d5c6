// TransferBoard: the transfers to and from a share on another machine that are
// under way, with the bytes moved so far, published in a small file for
// `corvane-fp status` and `watch` (transfersFile()). Only these transfers take
// long enough to be worth following: a local share's copies run at disk speed.
//
// The file is rewritten when a transfer starts or ends, and while bytes move
// at most four times a second, so a fast link costs a few small writes.
//
// Threading: thread-safe; a Transfer may be advanced from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvane::host {

class TransferBoard : public std::enable_shared_from_this<TransferBoard> {
 public:
  enum class Direction { fetch, upload };
  struct Shown {
    Direction direction;
    std::string path;
    std::uint64_t size = 0;
    std::uint64_t done = 0;
    std::int64_t startedMs = 0;  // wall clock
  };

  // Removed from the board when destroyed, whether it finished or failed.
  class Transfer {
   public:
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    void advance(std::uint64_t bytes);

   private:
    friend class TransferBoard;
    Transfer(std::shared_ptr<TransferBoard> board, std::list<Shown>::iterator entry)
        : board_(std::move(board)), entry_(entry) {}
    std::shared_ptr<TransferBoard> board_;
    std::list<Shown>::iterator entry_;
  };

  // Without a file nothing is written, and transfers cost a lock each.
  static std::shared_ptr<TransferBoard> create(std::optional<std::filesystem::path> file);

  std::unique_ptr<Transfer> begin(Direction direction, std::string path, std::uint64_t size);

 private:
  using Clock = std::chrono::steady_clock;
  explicit TransferBoard(std::optional<std::filesystem::path> file) : file_(std::move(file)) {}
  // Needs mutex_, which it releases while writing.
  void publish(std::unique_lock<std::mutex>& lock);

  const std::optional<std::filesystem::path> file_;
  std::mutex mutex_;  // guards everything below
  std::list<Shown> shown_;
  Clock::time_point published_{};
  bool writing_ = false;  // one write at a time; a later one catches up
  bool again_ = false;
};

}  // namespace corvane::host

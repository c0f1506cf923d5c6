#include "host/stream/TransferBoard.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"

namespace corvane::host {

std::shared_ptr<TransferBoard> TransferBoard::create(std::optional<std::filesystem::path> file) {
  return std::shared_ptr<TransferBoard>(new TransferBoard(std::move(file)));
}

std::unique_ptr<TransferBoard::Transfer> TransferBoard::begin(Direction direction, std::string path,
                                                              std::uint64_t size) {
  std::unique_lock lock(mutex_);
  shown_.push_back({direction, std::move(path), size, 0, foundation::currentMilliseconds()});
  auto entry = std::prev(shown_.end());
  published_ = {};
  publish(lock);
  return std::unique_ptr<Transfer>(new Transfer(shared_from_this(), entry));
}

void TransferBoard::Transfer::advance(std::uint64_t bytes) {
  std::unique_lock lock(board_->mutex_);
  entry_->done += bytes;
  if (Clock::now() - board_->published_ >= std::chrono::milliseconds(250)) board_->publish(lock);
}

TransferBoard::Transfer::~Transfer() {
  std::unique_lock lock(board_->mutex_);
  board_->shown_.erase(entry_);
  board_->published_ = {};
  board_->publish(lock);
}

void TransferBoard::publish(std::unique_lock<std::mutex>& lock) {
  if (!file_) return;
  published_ = Clock::now();
  if (writing_) {
    again_ = true;
    return;
  }
  writing_ = true;
  do {
    again_ = false;
    auto list = nlohmann::json::array();
    for (const auto& transfer : shown_) {
      list.push_back({{"direction", transfer.direction == Direction::fetch ? "fetch" : "upload"},
                      {"path", transfer.path},
                      {"size", transfer.size},
                      {"done", transfer.done},
                      {"startedMs", transfer.startedMs}});
    }
    const std::string text = nlohmann::json{{"transfers", list}, {"atMs", foundation::currentMilliseconds()}}.dump(
                                 -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                             "\n";
    lock.unlock();
    // Whole to a reader; it says nothing a restart would need, so it is not
    // waited on to be durable.
    (void)foundation::FileManager::replaceContents(*file_, foundation::Data(text.begin(), text.end()));
    lock.lock();
  } while (again_);
  writing_ = false;
}

}  // namespace corvane::host

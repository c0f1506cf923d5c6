// WorkFilePool: empty working-copy files made ahead of need. Making a file is
// the slowest step of creating one on the mount (the local file system has to
// find a free inode), and a program writing many small files waits for each;
// a background thread keeps a few ready instead. The files are named
// "work-XXXXXX" in the journal's folder, which removes any left over by a
// mount that died.
//
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class WorkFilePool {
 public:
  using WorkFile = std::pair<std::filesystem::path, foundation::UniqueFd>;

  explicit WorkFilePool(std::filesystem::path folder) : folder_(std::move(folder)) {}
  ~WorkFilePool();  // removes the files never taken

  // One of the files made ahead, else a new one made now. The first call
  // starts the thread that makes them.
  foundation::Result<WorkFile> take();
  // Stops making files and removes those never taken: before the folder is
  // swept of leftovers, which must not find one still to be handed out.
  void clear();

 private:
  foundation::Result<WorkFile> make() const;
  void run();

  const std::filesystem::path folder_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable wanted_;
  std::vector<WorkFile> ready_;
  std::uint64_t taken_ = 0;  // calls of take(), counted
  bool stopping_ = false;
  std::thread maker_;
};

}  // namespace corvane::framework::mount

// WorkFilePool: empty working-copy files made ahead of need. Making a file is
// the slowest step of creating one on the mount (the local file system has to
// find a free inode), and a program writing many small files waits for each;
// a background queue keeps a few ready instead. The files are named
// "work-XXXXXX" in the journal's folder, which removes any left over by a
// mount that died.
//
// Thread-safe.
#pragma once

#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::mount {

class WorkFilePool {
 public:
  using WorkFile = std::pair<std::filesystem::path, foundation::UniqueFd>;

  explicit WorkFilePool(std::filesystem::path folder);
  ~WorkFilePool();  // removes the files never taken

  // One of the files made ahead, else a new one made now; either way the
  // queue then makes more.
  foundation::Result<WorkFile> take();
  // Removes the files never taken: before the folder is swept of leftovers,
  // which must not find one still to be handed out. No take() meanwhile.
  void clear();

 private:
  foundation::Result<WorkFile> make() const;
  void refill();  // on queue_

  const std::filesystem::path folder_;
  std::mutex mutex_;  // guards what follows
  std::vector<WorkFile> ready_;
  bool refilling_ = false;  // a refill is queued or running
  // Last: its blocks touch the members above.
  dispatch::Queue queue_;
};

}  // namespace corvane::framework::mount

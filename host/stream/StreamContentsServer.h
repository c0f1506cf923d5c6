// StreamContentsServer: the serving side of a share stream's contents methods,
// over one HostVfsService. A fetch is the service's private copy, opened and
// then unlinked at once, so nothing is left behind however the stream ends; an
// upload is a file in the staging folder, handed to the service's upload when
// finished (which moves it into place), and removed when the stream ends first.
//
// Threading: the protocol methods run on the connection's queue; reads and
// writes of contents run on the worker pool, as the adapter's file work does.
// Once the service or the pool is gone, calls are answered with -16.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/HostVfsService.h"
#include "host/WorkerPool.h"
#include "host/stream/ShareStreamProtocol.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::host {

class StreamContentsServer final : public ShareStreamProtocol,
                                   public std::enable_shared_from_this<StreamContentsServer> {
 public:
  // Uploads are staged in `stagingFolder` (made when missing), the service's own.
  StreamContentsServer(std::weak_ptr<HostVfsService> service, std::weak_ptr<WorkerPool> pool,
                       std::filesystem::path stagingFolder);
  // Removes the staged files of uploads that never finished.
  ~StreamContentsServer() override;

  void openFetch(const std::string& path, OpenFetchReply reply) override;
  void readChunk(std::uint64_t fetchId, std::uint64_t offset, std::uint64_t length, ChunkReply reply) override;
  void closeFetch(std::uint64_t fetchId, ErrorReply reply) override;
  void openUpload(OpenUploadReply reply) override;
  void writeChunk(std::uint64_t uploadId, std::uint64_t offset, std::string_view bytes, ErrorReply reply) override;
  void finishUpload(std::uint64_t uploadId, std::uint64_t size, const std::string& remotePath,
                    std::optional<ExpectedFile> expected, ErrorReply reply) override;
  void cancelUpload(std::uint64_t uploadId, ErrorReply reply) override;
  void putFile(const std::string& remotePath, std::string_view bytes, std::optional<ExpectedFile> expected,
               ErrorReply reply) override;

 private:
  struct Open {
    foundation::UniqueFd fd;
    std::filesystem::path staged;  // uploads only
  };
  // The open fetch or upload with that id, shared with the jobs that use it.
  std::shared_ptr<Open> find(std::uint64_t id);
  std::shared_ptr<Open> take(std::uint64_t id);
  std::uint64_t add(std::shared_ptr<Open> open);
  // A new staged file, open for writing; or why not.
  foundation::Result<std::shared_ptr<Open>> stage();
  // Hands a staged file of `size` bytes to the service's upload, if the far
  // file is still as expected; removes it when it is not moved into place.
  foundation::Status finish(HostVfsService& service, const Open& open, std::uint64_t size,
                            const std::string& remotePath, const std::optional<ExpectedFile>& expected);
  // -17 "conflict" when the file at `remotePath` is not as expected.
  static std::optional<foundation::Error> changedSince(HostVfsService& service, const std::string& remotePath,
                                                       const ExpectedFile& expected);
  // Runs `job` on the pool, or answers `refuse` with -16 when it cannot.
  template <typename Job, typename Refuse>
  void run(Job job, Refuse refuse, WorkerPool::Lane lane = WorkerPool::Lane::standard);

  const std::weak_ptr<HostVfsService> service_;
  const std::weak_ptr<WorkerPool> pool_;
  const std::filesystem::path stagingFolder_;

  std::mutex mutex_;  // guards open_ and nextId_
  std::unordered_map<std::uint64_t, std::shared_ptr<Open>> open_;
  std::uint64_t nextId_ = 1;
};

}  // namespace corvane::host

#include "host/stream/RemoteTransfers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "host/HostError.h"
#include "host/stream/ShareStreamProtocol.h"

namespace corvane::host {

namespace {

using Error = std::optional<foundation::Error>;
constexpr std::uint64_t kChunk = ShareStreamProtocol::kMaxChunkBytes;

// The calls of one transfer in flight, shared with their reply blocks. Every
// call ends exactly once: by its reply, or by the proxy's error handler.
class InFlight {
 public:
  void begin() {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  void end(Error error) {
    std::lock_guard lock(mutex_);
    --count_;
    if (error && !error_) error_ = std::move(error);
    changed_.notify_all();
  }
  // Waits until fewer than `limit` calls are in flight; false once one failed.
  bool below(int limit) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ < limit || error_; });
    return !error_;
  }
  // Waits for every call; the first failure, if any.
  Error settle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ == 0; });
    return error_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  Error error_;
};

// A proxy whose failed calls end in `calls`, or null (with the error in `down`)
// when there is no stream.
std::shared_ptr<ShareStreamProtocol> proxyFor(RemoteShare& share, const std::shared_ptr<InFlight>& calls,
                                              foundation::Error& down) {
  auto proxy = share.proxy<ShareStreamProtocol>([calls](foundation::Error e) { calls->end(std::move(e)); });
  if (!proxy) down = share.notConnected();
  return proxy;
}

}  // namespace

foundation::Result<std::filesystem::path> fetchRemote(RemoteShare& share, ContentCache& cache,
                                                      const std::string& path) {
  auto calls = std::make_shared<InFlight>();
  foundation::Error down("", 0);
  auto proxy = proxyFor(share, calls, down);
  if (!proxy) return down;

  std::uint64_t fetchId = 0, size = 0;
  std::string head;
  calls->begin();
  proxy->openFetch(
      path, [&, calls](std::uint64_t id, std::uint64_t bytes, std::optional<std::string_view> first, Error error) {
        fetchId = id;
        size = bytes;
        if (first) head.assign(*first);
        calls->end(std::move(error));
      });
  if (Error failed = calls->settle()) return *failed;

  std::shared_ptr<TransferBoard::Transfer> shown = share.transfers().begin(TransferBoard::Direction::fetch, path, size);
  shown->advance(head.size());
  const std::string leaf = path.substr(path.rfind('/') + 1);
  auto stored = cache.store(leaf, "Cannot fetch " + path, [&](int fd) {
    if (::pwrite(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) return errno ? errno : EIO;
    // Chunks land at their offsets in whatever order they come back.
    for (std::uint64_t offset = head.size(); offset < size; offset += kChunk) {
      if (!calls->below(kTransferWindow)) break;
      const std::uint64_t length = std::min(kChunk, size - offset);
      calls->begin();
      proxy->readChunk(fetchId, offset, length,
                       [calls, shown, fd, offset, length, &path](std::optional<std::string_view> bytes, Error error) {
                         if (!error && bytes->size() != length) {
                           error = vfsError(VfsErrorCode::io, "The copy of " + path + " ended early");
                         }
                         if (!error && ::pwrite(fd, bytes->data(), bytes->size(), static_cast<off_t>(offset)) !=
                                           static_cast<ssize_t>(bytes->size())) {
                           error = vfsErrorFromErrno(errno, "Cannot store the copy of " + path);
                         }
                         if (!error) shown->advance(length);
                         calls->end(std::move(error));
                       });
    }
    // Every chunk is answered before the file is closed under them.
    return calls->settle() ? EIO : 0;
  });
  // A file that came whole with the answer left nothing open there.
  if (fetchId != 0) {
    calls->begin();
    proxy->closeFetch(fetchId, [calls](Error) { calls->end(std::nullopt); });
  }
  Error failed = calls->settle();
  if (failed) return *failed;
  return stored;
}

foundation::Result<std::shared_ptr<const VfsFileEntryDto>> statRemote(RemoteShare& share, const std::string& peerId,
                                                                      const std::string& path) {
  struct Answer {
    std::mutex mutex;
    std::condition_variable came;
    std::optional<foundation::Result<std::shared_ptr<const VfsFileEntryDto>>> result;
    void set(foundation::Result<std::shared_ptr<const VfsFileEntryDto>> value) {
      std::lock_guard lock(mutex);
      if (!result) result.emplace(std::move(value));
      came.notify_all();
    }
  };
  auto answer = std::make_shared<Answer>();
  auto proxy = share.proxy<VfsXpcProtocol>([answer](foundation::Error e) { answer->set(std::move(e)); });
  if (!proxy) return share.notConnected();
  proxy->statItem(peerId, path, "", [answer](std::shared_ptr<const VfsFileEntryDto> entry, Error error) {
    if (error) return answer->set(std::move(*error));
    answer->set(std::move(entry));
  });
  std::unique_lock lock(answer->mutex);
  answer->came.wait(lock, [&] { return answer->result.has_value(); });
  return std::move(*answer->result);
}

foundation::Status uploadRemote(RemoteShare& share, const std::filesystem::path& localFile,
                                const std::string& remotePath, std::optional<ExpectedFile> expected) {
  foundation::UniqueFd source(::open(localFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!source.valid()) return vfsErrorFromErrno(errno, "Cannot read the staged file " + localFile.string());
  struct stat st {};
  if (::fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return vfsError(VfsErrorCode::invalidArgument, "The staged file is not a regular file");
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);

  auto calls = std::make_shared<InFlight>();
  foundation::Error down("", 0);
  auto proxy = proxyFor(share, calls, down);
  if (!proxy) return down;

  std::string buffer(kChunk, '\0');
  // Reads up to a chunk at `offset` into the buffer; its length.
  auto readChunk = [&](std::uint64_t offset, Error& failed) -> std::size_t {
    const std::size_t length = static_cast<std::size_t>(std::min(kChunk, size - offset));
    std::size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(source.get(), buffer.data() + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = n < 0 ? vfsErrorFromErrno(errno, "Cannot read the staged file " + localFile.string())
                       : vfsError(VfsErrorCode::io, "The staged file " + localFile.string() + " shrank");
        return done;
      }
      done += static_cast<std::size_t>(n);
    }
    return length;
  };

  std::shared_ptr<TransferBoard::Transfer> shown =
      share.transfers().begin(TransferBoard::Direction::upload, remotePath, size);
  // A file of one chunk goes in one call.
  if (size <= kChunk) {
    Error readFailed;
    const std::size_t length = readChunk(0, readFailed);
    if (readFailed) return *readFailed;
    calls->begin();
    proxy->putFile(remotePath, std::string_view(buffer.data(), length), expected,
                   [calls](Error error) { calls->end(std::move(error)); });
    if (Error failed = calls->settle()) return *failed;
    return foundation::Ok{};
  }

  std::uint64_t uploadId = 0;
  calls->begin();
  proxy->openUpload([&, calls](std::uint64_t id, Error error) {
    uploadId = id;
    calls->end(std::move(error));
  });
  if (Error failed = calls->settle()) return *failed;

  Error readFailed;
  for (std::uint64_t offset = 0; offset < size && !readFailed; offset += kChunk) {
    if (!calls->below(kTransferWindow)) break;
    const std::size_t length = readChunk(offset, readFailed);
    if (readFailed) break;
    calls->begin();
    // The bytes are copied into the message here, so the buffer is free again.
    proxy->writeChunk(uploadId, offset, std::string_view(buffer.data(), length), [calls, shown, length](Error error) {
      if (!error) shown->advance(length);
      calls->end(std::move(error));
    });
  }
  Error failed = calls->settle();
  if (!failed) failed = readFailed;
  if (failed) {
    calls->begin();
    proxy->cancelUpload(uploadId, [calls](Error) { calls->end(std::nullopt); });
    (void)calls->settle();
    return *failed;
  }
  calls->begin();
  proxy->finishUpload(uploadId, size, remotePath, expected, [calls](Error error) { calls->end(std::move(error)); });
  if (Error finished = calls->settle()) return *finished;
  return foundation::Ok{};
}

}  // namespace corvane::host

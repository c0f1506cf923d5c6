#include "host/stream/StreamContentsServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "host/HostError.h"
#include "platform/foundation/SecureRandom.h"

namespace corvane::host {

namespace {

foundation::Error gone() { return vfsError(VfsErrorCode::serviceUnavailable, "The host is stopping"); }
foundation::Error unknown(std::uint64_t id) {
  return vfsError(VfsErrorCode::invalidArgument, "No transfer " + std::to_string(id) + " is open");
}

}  // namespace

StreamContentsServer::StreamContentsServer(std::weak_ptr<HostVfsService> service, std::weak_ptr<WorkerPool> pool,
                                           std::filesystem::path stagingFolder)
    : service_(std::move(service)), pool_(std::move(pool)), stagingFolder_(std::move(stagingFolder)) {
  std::error_code ignored;
  std::filesystem::create_directories(stagingFolder_, ignored);
}

StreamContentsServer::~StreamContentsServer() {
  for (auto& [id, open] : open_) {
    if (!open->staged.empty()) ::unlink(open->staged.c_str());
  }
}

std::shared_ptr<StreamContentsServer::Open> StreamContentsServer::find(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = open_.find(id);
  return it == open_.end() ? nullptr : it->second;
}

std::shared_ptr<StreamContentsServer::Open> StreamContentsServer::take(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto node = open_.extract(id);
  return node ? std::move(node.mapped()) : nullptr;
}

std::uint64_t StreamContentsServer::add(std::shared_ptr<Open> open) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextId_++;
  open_.emplace(id, std::move(open));
  return id;
}

template <typename Job, typename Refuse>
void StreamContentsServer::run(Job job, Refuse refuse, WorkerPool::Lane lane) {
  std::shared_ptr<WorkerPool> pool = pool_.lock();
  if (!pool || !pool->submit(std::move(job), lane)) refuse(gone());
}

// Reads up to `length` bytes at `offset`; fewer only at the end. An errno value on failure.
static int readAt(int fd, std::uint64_t offset, std::uint64_t length, std::string& out) {
  out.assign(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return 0;
}

void StreamContentsServer::openFetch(const std::string& path, OpenFetchReply reply) {
  run(
      [self = shared_from_this(), path, reply] {
        std::shared_ptr<HostVfsService> service = self->service_.lock();
        if (!service) return reply(0, 0, std::nullopt, gone());
        auto copy = service->fetchFileContents(path);
        if (!copy.ok()) return reply(0, 0, std::nullopt, copy.error());
        auto open = std::make_shared<Open>();
        open->fd = foundation::UniqueFd(::open(copy->c_str(), O_RDONLY | O_CLOEXEC));
        const int err = open->fd.valid() ? 0 : errno;
        // The copy is this fetch's alone: once open, its name is not needed.
        ::unlink(copy->c_str());
        struct stat st {};
        if (err != 0 || ::fstat(open->fd.get(), &st) != 0) {
          return reply(0, 0, std::nullopt,
                       vfsErrorFromErrno(err != 0 ? err : errno, "Cannot open the copy of " + path));
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        std::string head;
        if (int failed = readAt(open->fd.get(), 0, std::min(size, kMaxChunkBytes), head)) {
          return reply(0, 0, std::nullopt, vfsErrorFromErrno(failed, "Cannot read the copy of " + path));
        }
        if (head.size() != std::min(size, kMaxChunkBytes)) {
          return reply(0, 0, std::nullopt, vfsError(VfsErrorCode::io, "The copy of " + path + " ended early"));
        }
        // A small file goes whole in the answer, and nothing stays open for it.
        const std::uint64_t id = head.size() == size ? 0 : self->add(std::move(open));
        reply(id, size, std::string_view(head), std::nullopt);
      },
      [reply](foundation::Error e) { reply(0, 0, std::nullopt, std::move(e)); });
}

void StreamContentsServer::readChunk(std::uint64_t fetchId, std::uint64_t offset, std::uint64_t length,
                                     ChunkReply reply) {
  std::shared_ptr<Open> open = find(fetchId);
  if (!open || !open->staged.empty()) return reply(std::nullopt, unknown(fetchId));
  run(
      [open, offset, length, reply] {
        std::string buffer;
        if (int err = readAt(open->fd.get(), offset, length, buffer)) {
          return reply(std::nullopt, vfsErrorFromErrno(err, "Cannot read the fetched copy"));
        }
        reply(std::string_view(buffer), std::nullopt);
      },
      [reply](foundation::Error e) { reply(std::nullopt, std::move(e)); });
}

void StreamContentsServer::closeFetch(std::uint64_t fetchId, ErrorReply reply) {
  std::shared_ptr<Open> open = take(fetchId);
  reply(open ? std::nullopt : std::optional(unknown(fetchId)));
}

foundation::Result<std::shared_ptr<StreamContentsServer::Open>> StreamContentsServer::stage() {
  auto open = std::make_shared<Open>();
  char name[32];
  std::snprintf(name, sizeof name, "stream-%016llx", static_cast<unsigned long long>(foundation::randomUInt64()));
  open->staged = stagingFolder_ / name;
  open->fd = foundation::UniqueFd(::open(open->staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!open->fd.valid()) return vfsErrorFromErrno(errno, "Cannot stage an upload in " + stagingFolder_.string());
  return open;
}

// The far file is checked just before the upload moves into place: an edit
// made here after the other side last looked is kept, and the upload refused.
std::optional<foundation::Error> StreamContentsServer::changedSince(HostVfsService& service,
                                                                    const std::string& remotePath,
                                                                    const ExpectedFile& expected) {
  auto found = service.statItem(remotePath);
  if (!found.ok()) return found.error();
  const ExpectedFile now = *found ? ExpectedFile{true, (*found)->size, (*found)->modifiedMs} : ExpectedFile{};
  if (now == expected) return std::nullopt;
  const char* what = !now.exists ? " was deleted" : expected.exists ? " changed" : " was made";
  return vfsError(VfsErrorCode::conflict, remotePath + what + " on the peer since it was last looked at; not replaced");
}

foundation::Status StreamContentsServer::finish(HostVfsService& service, const Open& open, std::uint64_t size,
                                                const std::string& remotePath,
                                                const std::optional<ExpectedFile>& expected) {
  struct stat st {};
  foundation::Status stored = foundation::Ok{};
  if (auto changed = expected ? changedSince(service, remotePath, *expected) : std::nullopt) {
    stored = *changed;
  } else if (::fstat(open.fd.get(), &st) != 0) {
    stored = vfsErrorFromErrno(errno, "Cannot stat the upload");
  } else if (static_cast<std::uint64_t>(st.st_size) != size) {
    stored = vfsError(VfsErrorCode::io,
                      std::to_string(st.st_size) + " bytes of " + std::to_string(size) + " arrived for " + remotePath);
  } else {
    stored = service.uploadFile(open.staged, remotePath);
  }
  // Moved into place on success; copied or refused otherwise, and then not needed.
  ::unlink(open.staged.c_str());
  return stored;
}

void StreamContentsServer::openUpload(OpenUploadReply reply) {
  auto staged = stage();
  if (!staged.ok()) return reply(0, staged.error());
  reply(add(std::move(*staged)), std::nullopt);
}

void StreamContentsServer::writeChunk(std::uint64_t uploadId, std::uint64_t offset, std::string_view bytes,
                                      ErrorReply reply) {
  std::shared_ptr<Open> open = find(uploadId);
  if (!open || open->staged.empty()) return reply(unknown(uploadId));
  run(
      [open, offset, bytes = std::string(bytes), reply] {
        std::size_t done = 0;
        while (done < bytes.size()) {
          const ssize_t n =
              ::pwrite(open->fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) return reply(vfsErrorFromErrno(n < 0 ? errno : EIO, "Cannot write the staged upload"));
          done += static_cast<std::size_t>(n);
        }
        reply(std::nullopt);
      },
      reply, WorkerPool::Lane::background);
}

void StreamContentsServer::finishUpload(std::uint64_t uploadId, std::uint64_t size, const std::string& remotePath,
                                        std::optional<ExpectedFile> expected, ErrorReply reply) {
  std::shared_ptr<Open> open = take(uploadId);
  if (!open || open->staged.empty()) return reply(unknown(uploadId));
  run(
      [self = shared_from_this(), open, size, remotePath, expected, reply] {
        std::shared_ptr<HostVfsService> service = self->service_.lock();
        foundation::Status stored =
            service ? self->finish(*service, *open, size, remotePath, expected) : foundation::Status(gone());
        if (!service) ::unlink(open->staged.c_str());
        reply(stored.ok() ? std::nullopt : std::optional(stored.error()));
      },
      [reply, open](foundation::Error e) {
        ::unlink(open->staged.c_str());
        reply(std::move(e));
      },
      WorkerPool::Lane::background);
}

void StreamContentsServer::putFile(const std::string& remotePath, std::string_view bytes,
                                   std::optional<ExpectedFile> expected, ErrorReply reply) {
  run(
      [self = shared_from_this(), remotePath, bytes = std::string(bytes), expected, reply] {
        std::shared_ptr<HostVfsService> service = self->service_.lock();
        if (!service) return reply(gone());
        auto staged = self->stage();
        if (!staged.ok()) return reply(staged.error());
        const Open& open = **staged;
        std::size_t done = 0;
        while (done < bytes.size()) {
          const ssize_t n = ::write(open.fd.get(), bytes.data() + done, bytes.size() - done);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            ::unlink(open.staged.c_str());
            return reply(vfsErrorFromErrno(n < 0 ? errno : EIO, "Cannot write the staged upload"));
          }
          done += static_cast<std::size_t>(n);
        }
        foundation::Status stored = self->finish(*service, open, bytes.size(), remotePath, expected);
        reply(stored.ok() ? std::nullopt : std::optional(stored.error()));
      },
      reply, WorkerPool::Lane::background);
}

void StreamContentsServer::cancelUpload(std::uint64_t uploadId, ErrorReply reply) {
  std::shared_ptr<Open> open = take(uploadId);
  if (open && !open->staged.empty()) ::unlink(open->staged.c_str());
  reply(open ? std::nullopt : std::optional(unknown(uploadId)));
}

}  // namespace corvane::host

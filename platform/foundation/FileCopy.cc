#include "platform/foundation/FileCopy.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace foundation {
namespace {

constexpr int kConsistentCopyAttempts = 4;

// Both descriptors are read and written at explicit offsets from `at` on: a
// descriptor's own position is whatever its last user left (a file made by
// copying ends up at its end), and the copy must not depend on it.
int readWriteCopy(int in, int out, off_t at) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::pread(in, buffer, sizeof buffer, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::pwrite(out, buffer + done, static_cast<std::size_t>(n - done), at + done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
    at += n;
  }
}

bool sameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

int copyFileContents(int in, int out) {
  if (::ioctl(out, FICLONE, in) == 0) return 0;
  // Not the same file system, or one without reflinks: copy the bytes.
  off64_t from = 0, to = 0;
  for (;;) {
    ssize_t n = ::copy_file_range(in, &from, out, &to, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
      return readWriteCopy(in, out, from);
    }
    return errno;
  }
}

int copyConsistently(int in, int out) {
  for (int attempt = 0; attempt < kConsistentCopyAttempts; ++attempt) {
    struct stat before {
    }, after{};
    if (::fstat(in, &before) != 0) return errno;
    // Only a copy that has to be redone truncates: on ext4 a truncation to zero
    // makes the last close write the whole file back before it returns, which
    // costs a fetch of a large file tens of milliseconds it would not otherwise wait.
    if (attempt > 0 && ::ftruncate(out, 0) != 0) return errno;
    if (int err = copyFileContents(in, out)) return err;
    if (::fstat(in, &after) != 0) return errno;
    if (sameState(before, after)) return 0;
  }
  return EAGAIN;
}

}  // namespace foundation

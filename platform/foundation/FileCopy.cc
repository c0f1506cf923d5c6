#include "platform/foundation/FileCopy.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace foundation {
namespace {

constexpr int kConsistentCopyAttempts = 4;

// Both descriptors are read and written at explicit offsets from `at` on: a
// descriptor's own position is whatever its last user left (a file made by
// copying ends up at its end), and the copy must not depend on it.
int readWriteCopy(int in, int out, off_t at, off_t end) {
  char buffer[64 * 1024];
  while (at < end) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(sizeof buffer), end - at));
    ssize_t n = ::pread(in, buffer, want, at);
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
  return 0;
}

bool sameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Copies [from, end) of `in` to the same offsets of `out`, or up to the end of
// `in` when that comes first.
int copyRange(int in, int out, off_t from, off_t end) {
  off64_t at = from, to = from;
  while (at < end) {
    const ssize_t n = ::copy_file_range(in, &at, out, &to, static_cast<std::size_t>(end - at), 0);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
      return readWriteCopy(in, out, at, end);
    }
    return errno;
  }
  return 0;
}

// The stretches of `in` that hold data, copied to the same offsets of `out`;
// the holes between them are skipped, and one at the end is only a size.
// Moves `in`'s position.
int copyData(int in, int out) {
  off_t at = 0;
  for (;;) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole from `at` to the end
      if (errno != EINVAL) return errno;
      // A file system that cannot tell its holes: the rest is all data.
      return copyRange(in, out, at, std::numeric_limits<off_t>::max());
    }
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) hole = std::numeric_limits<off_t>::max();
    if (int err = copyRange(in, out, data, hole)) return err;
    at = hole;
  }
  struct stat source {
  }, copy{};
  if (::fstat(in, &source) != 0 || ::fstat(out, &copy) != 0) return errno;
  if (copy.st_size < source.st_size && ::ftruncate(out, source.st_size) != 0) return errno;
  return 0;
}

}  // namespace

int copyFileContents(int in, int out) {
  // A clone shares the source's blocks, holes included.
  if (::ioctl(out, FICLONE, in) == 0) return 0;
  // Otherwise only the data is copied and the holes stay holes: copy_file_range
  // (through the page cache on ext4 and tmpfs) and read/write alike would fill
  // each one with zeros, and a 2 GiB file of a few bytes would take 2 GiB in
  // every copy made of it. Finding the holes moves the position, which callers
  // are promised stays put.
  const off_t position = ::lseek(in, 0, SEEK_CUR);
  const int err = copyData(in, out);
  if (position >= 0) (void)::lseek(in, position, SEEK_SET);
  return err;
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

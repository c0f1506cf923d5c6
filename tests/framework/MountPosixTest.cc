// The POSIX behaviour of the mount, one syscall case a row, each with the errno
// it must give through this mount. Every case runs, and each one that gives
// another answer fails the test by name. What reads and writes keep is the
// file exerciser's to prove (MountExerciserTest.cc).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

constexpr int kWrong = -1;  // the calls worked, but the outcome was not the one POSIX gives

using Paths = std::pair<std::filesystem::path, std::filesystem::path>;  // the mount, the share

int err(int result) { return result < 0 ? errno : 0; }

// Writes `text` as the whole file; 0 or the errno of the failing call.
int put(const std::filesystem::path& file, const std::string& text, int flags = O_WRONLY | O_CREAT | O_TRUNC) {
  const int fd = ::open(file.c_str(), flags, 0644);
  if (fd < 0) return errno;
  const bool wrote = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int closed = ::close(fd);
  return !wrote ? errno : closed < 0 ? errno : 0;
}

std::string get(const std::filesystem::path& file) {
  std::error_code ignored;
  return std::filesystem::exists(file, ignored) ? readFile(file) : "<missing>";
}

// fsync, so the share is compared only once it holds the file.
void settle(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd >= 0) ::fsync(fd), ::close(fd);
}

bool listed(const std::filesystem::path& folder, const std::string& name) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.path().filename() == name) return true;
  }
  return false;
}

// A name written here and read back through the mount's listing and the share.
int roundTripName(const Paths& p, const std::string& name) {
  if (int e = put(p.first / name, "n")) return e;
  settle(p.first / name);
  return listed(p.first, name) && get(p.second / name) == "n" ? 0 : kWrong;
}

// A chain of folders below `top`, made a level at a time (no one call could
// name a path this long), and its deepest folder open. `room` is how long a
// name in it may be for its path in the share to be 4095 bytes, the longest
// the peer takes.
struct Deep {
  int fd = -1;
  std::size_t room = 0;
  ~Deep() {
    if (fd >= 0) ::close(fd);
  }
};

void dig(const Paths& p, const std::string& top, Deep& deep) {
  constexpr std::size_t kPeerPathMax = 4095;
  if (::mkdir((p.first / top).c_str(), 0755) != 0) return;
  deep.fd = ::open((p.first / top).c_str(), O_RDONLY | O_DIRECTORY);
  deep.room = kPeerPathMax - (1 + top.size()) - 1;  // "/top" and the last "/"
  const std::string level(200, 'd');
  while (deep.fd >= 0 && deep.room > NAME_MAX - 1) {
    const int next =
        ::mkdirat(deep.fd, level.c_str(), 0755) == 0 ? ::openat(deep.fd, level.c_str(), O_RDONLY | O_DIRECTORY) : -1;
    ::close(deep.fd);
    deep.fd = next;
    deep.room -= 1 + level.size();
  }
}

// Writes and fsyncs `name` in the folder `at`: 0 once the peer stored it, or the errno.
int putAt(int at, const std::string& name) {
  const int fd = ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  const int e = ::write(fd, "x", 1) == 1 && ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return e;
}

struct PosixCase {
  const char* name;
  int expected;  // errno, 0 for success
  std::function<int(const Paths&)> run;
};

// Each case works in files and folders of its own, named after its row.
const PosixCase kCases[] = {
    {"open O_CREAT|O_EXCL of a new name", 0,
     [](const Paths& p) { return put(p.first / "excl", "x", O_WRONLY | O_CREAT | O_EXCL); }},
    {"open O_CREAT|O_EXCL of an existing name", EEXIST,
     [](const Paths& p) {
       put(p.first / "excl2", "x");
       return put(p.first / "excl2", "y", O_WRONLY | O_CREAT | O_EXCL);
     }},
    {"open of a missing name", ENOENT,
     [](const Paths& p) { return err(::open((p.first / "nope").c_str(), O_RDONLY)); }},
    {"open O_WRONLY of a folder", EISDIR, [](const Paths& p) { return err(::open(p.first.c_str(), O_WRONLY)); }},
    {"open O_DIRECTORY of a file", ENOTDIR,
     [](const Paths& p) {
       put(p.first / "notdir", "x");
       return err(::open((p.first / "notdir").c_str(), O_RDONLY | O_DIRECTORY));
     }},
    {"rename within a folder", 0,
     [](const Paths& p) {
       put(p.first / "ren-a", "r");
       if (::rename((p.first / "ren-a").c_str(), (p.first / "ren-b").c_str()) != 0) return errno;
       settle(p.first / "ren-b");
       return get(p.second / "ren-b") == "r" && get(p.second / "ren-a") == "<missing>" ? 0 : kWrong;
     }},
    {"rename onto an existing name replaces it", 0,
     [](const Paths& p) {
       put(p.first / "onto-a", "new");
       put(p.first / "onto-b", "old");
       if (::rename((p.first / "onto-a").c_str(), (p.first / "onto-b").c_str()) != 0) return errno;
       return get(p.second / "onto-b") == "new" && !listed(p.first, "onto-a") ? 0 : kWrong;
     }},
    {"rename RENAME_NOREPLACE onto an existing name", EEXIST,
     [](const Paths& p) {
       put(p.first / "norep-a", "a");
       put(p.first / "norep-b", "b");
       return err(::renameat2(AT_FDCWD, (p.first / "norep-a").c_str(), AT_FDCWD, (p.first / "norep-b").c_str(),
                              RENAME_NOREPLACE));
     }},
    {"rename into another folder", EXDEV,
     [](const Paths& p) {
       ::mkdir((p.first / "xdev").c_str(), 0755);
       put(p.first / "xdev-f", "x");
       return err(::rename((p.first / "xdev-f").c_str(), (p.first / "xdev" / "f").c_str()));
     }},
    {"unlink of a missing name", ENOENT, [](const Paths& p) { return err(::unlink((p.first / "nope").c_str())); }},
    {"mkdir", 0,
     [](const Paths& p) {
       if (::mkdir((p.first / "made").c_str(), 0755) != 0) return errno;
       return std::filesystem::is_directory(p.second / "made") ? 0 : kWrong;
     }},
    {"mkdir of an existing name", EEXIST,
     [](const Paths& p) {
       ::mkdir((p.first / "twice").c_str(), 0755);
       return err(::mkdir((p.first / "twice").c_str(), 0755));
     }},
    {"rmdir of an empty folder", 0,
     [](const Paths& p) {
       ::mkdir((p.first / "empty").c_str(), 0755);
       if (::rmdir((p.first / "empty").c_str()) != 0) return errno;
       return std::filesystem::exists(p.second / "empty") ? kWrong : 0;
     }},
    {"rmdir of a folder with a file", ENOTEMPTY,
     [](const Paths& p) {
       ::mkdir((p.first / "full").c_str(), 0755);
       put(p.first / "full" / "f", "x");
       return err(::rmdir((p.first / "full").c_str()));
     }},
    {"rmdir of a file", ENOTDIR,
     [](const Paths& p) {
       put(p.first / "rmfile", "x");
       return err(::rmdir((p.first / "rmfile").c_str()));
     }},
    {"stat of a file: type, size, owner", 0,
     [](const Paths& p) {
       put(p.first / "stat", "12345");
       struct stat st {};
       if (::stat((p.first / "stat").c_str(), &st) != 0) return errno;
       return S_ISREG(st.st_mode) && st.st_size == 5 && st.st_uid == ::getuid() && (st.st_mode & 0200) ? 0 : kWrong;
     }},
    {"a listing shows a new file and drops a removed one", 0,
     [](const Paths& p) {
       put(p.first / "listed", "x");
       const bool shown = listed(p.first, "listed");
       ::unlink((p.first / "listed").c_str());
       return shown && !listed(p.first, "listed") ? 0 : kWrong;
     }},
    {"utimensat sets the modification time", 0,
     [](const Paths& p) {
       put(p.first / "times", "x");
       const timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
       if (::utimensat(AT_FDCWD, (p.first / "times").c_str(), times, 0) != 0) return errno;
       struct stat st {};
       return ::stat((p.first / "times").c_str(), &st) == 0 && st.st_mtim.tv_sec == 1600000000 ? 0 : kWrong;
     }},
    {"a name of 255 bytes", 0, [](const Paths& p) { return roundTripName(p, std::string(255, 'n')); }},
    {"a name of 256 bytes", ENAMETOOLONG, [](const Paths& p) { return put(p.first / std::string(256, 'n'), "x"); }},
    {"a path of 4095 bytes, the longest the peer takes", 0,
     [](const Paths& p) {
       Deep deep;
       dig(p, "path-max", deep);
       if (int e = deep.fd < 0 ? errno : putAt(deep.fd, std::string(deep.room, 'n'))) return e;
       return err(::mkdirat(deep.fd, std::string(deep.room, 'm').c_str(), 0755));
     }},
    {"create, mkdir, rename and a folder's rename to a path over 4095 bytes", ENAMETOOLONG,
     [](const Paths& p) {
       Deep deep;
       dig(p, "path-over", deep);
       if (int e = deep.fd < 0 ? errno : putAt(deep.fd, std::string(deep.room, 'n'))) return e;
       const std::string over(deep.room + 1, 'o');
       const int fd = ::openat(deep.fd, over.c_str(), O_WRONLY | O_CREAT, 0644);
       if (fd >= 0) ::close(fd);
       const int a = fd < 0 ? errno : 0;
       const int b = err(::mkdirat(deep.fd, over.c_str(), 0755));
       const int c = err(::renameat(deep.fd, std::string(deep.room, 'n').c_str(), deep.fd, over.c_str()));
       // The folder's own new path is short; the file's in it would be 4096 bytes.
       const int d = err(::rename((p.first / "path-over").c_str(), (p.first / "path-over2").c_str()));
       return a == b && b == c && c == d ? a : kWrong;
     }},
    {"statfs tells the figures of the disk the mount writes to", 0,
     [](const Paths& p) {
       // The mount keeps its working copies in the same TempDir as the share.
       struct statvfs mount {};
       struct statvfs disk {};
       if (::statvfs(p.first.c_str(), &mount) != 0 || ::statvfs(p.second.c_str(), &disk) != 0) return errno;
       auto bytes = [](const struct statvfs& s, fsblkcnt_t blocks) { return std::uint64_t(blocks) * s.f_frsize; };
       const std::uint64_t size = bytes(mount, mount.f_blocks);
       const bool sameDisk = size <= bytes(disk, disk.f_blocks) && bytes(disk, disk.f_blocks) - size < mount.f_frsize;
       const bool free = mount.f_bavail > 0 && mount.f_bavail <= mount.f_bfree && mount.f_bfree <= mount.f_blocks;
       return sameDisk && free && mount.f_namemax == NAME_MAX ? 0 : kWrong;
     }},
    {"a name with spaces", 0, [](const Paths& p) { return roundTripName(p, "a name with spaces"); }},
    {"a name with a newline", 0, [](const Paths& p) { return roundTripName(p, "line\nbreak"); }},
    {"a non-ASCII name in NFC", 0, [](const Paths& p) { return roundTripName(p, "caf\xc3\xa9"); }},
    {"a non-ASCII name in NFD", 0, [](const Paths& p) { return roundTripName(p, "cafe\xcc\x81"); }},
    {"a name with the identifier's separator", 0, [](const Paths& p) { return roundTripName(p, "a::b"); }},
    {"a name with a backslash", 0, [](const Paths& p) { return roundTripName(p, "back\\slash"); }},
    {"create of a name that is not UTF-8", EILSEQ, [](const Paths& p) { return put(p.first / "bad\xff.txt", "x"); }},
    {"create of a UTF-16 surrogate", EILSEQ, [](const Paths& p) { return put(p.first / "\xed\xa0\x80.txt", "x"); }},
    {"mkdir of an overlong form", EILSEQ,
     [](const Paths& p) { return err(::mkdir((p.first / "\xc0\xaf.d").c_str(), 0755)); }},
    {"rename to a name that is not UTF-8", EILSEQ,
     [](const Paths& p) {
       put(p.first / "to-bad", "x");
       return err(::rename((p.first / "to-bad").c_str(), (p.first / "bad\xfe").c_str()));
     }},
    {"symlink, link and mknod of a name that is not UTF-8", EILSEQ,
     [](const Paths& p) {
       put(p.first / "src", "x");
       const int a = err(::symlink("t", (p.first / "s\xff").c_str()));
       const int b = err(::link((p.first / "src").c_str(), (p.first / "l\xff").c_str()));
       const int c = err(::mkfifo((p.first / "m\xff").c_str(), 0644));
       return a == b && b == c ? a : kWrong;
     }},
    {"stat of a name that is not UTF-8", ENOENT,
     [](const Paths& p) {
       struct stat st {};
       return err(::stat((p.first / "bad\xff.txt").c_str(), &st));
     }},
    {"a peer's name that is not UTF-8 is left out, the rest of its folder shown", 0,
     [](const Paths& p) {
       std::filesystem::create_directories(p.second / "odd");
       writeFile(p.second / "odd" / "peer\xff.txt", "x");
       writeFile(p.second / "odd" / "peer-ok.txt", "x");
       // The mount hears of the new folder from the change poller.
       const bool shown = eventually([&] { return listed(p.first / "odd", "peer-ok.txt"); });
       std::size_t count = 0;
       std::error_code ignored;
       for (const auto& entry : std::filesystem::directory_iterator(p.first / "odd", ignored)) {
         count += entry.is_regular_file(ignored);
       }
       return shown && count == 1 && get(p.first / "odd" / "peer-ok.txt") == "x" ? 0 : kWrong;
     }},
    {"symlink", EPERM, [](const Paths& p) { return err(::symlink("target", (p.first / "link").c_str())); }},
    {"link", EPERM,
     [](const Paths& p) {
       put(p.first / "hard", "x");
       return err(::link((p.first / "hard").c_str(), (p.first / "hard2").c_str()));
     }},
    {"mkfifo", EPERM, [](const Paths& p) { return err(::mkfifo((p.first / "fifo").c_str(), 0644)); }},
    {"chown to another user", EPERM,
     [](const Paths& p) {
       put(p.first / "owned", "x");
       return err(::chown((p.first / "owned").c_str(), ::getuid() + 1, static_cast<gid_t>(-1)));
     }},
    {"setxattr", ENOTSUP,
     [](const Paths& p) {
       put(p.first / "xattr", "x");
       return err(::setxattr((p.first / "xattr").c_str(), "user.k", "v", 1, 0));
     }},
};

TEST_F(MountEndToEnd, EveryPosixCaseGivesItsErrno) {
  Mount mount(dir_.path(), "posix", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  for (const auto& c : kCases) {
    const int got = c.run({mount.path(), share()});
    EXPECT_EQ(got, c.expected) << c.name << ": expected " << std::strerror(c.expected) << ", got "
                               << (got == kWrong ? "the wrong outcome" : std::strerror(got));
  }
}

}  // namespace
}  // namespace corvane::testing

#include "framework/mount/fuse/FuseOperations.h"
#include "framework/mount/common/Warning.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "framework/mount/filesystem/MountFileSystem.h"
#include "platform/foundation/Guarded.h"
#include "platform/foundation/Utf8.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane::framework::mount {

namespace {

MountFileSystem& fs(fuse_req_t req) { return *static_cast<MountFileSystem*>(fuse_req_userdata(req)); }

MountFileSystem::OpenFile* handleOf(const fuse_file_info* fi) {
  return reinterpret_cast<MountFileSystem::OpenFile*>(fi->fh);
}

void replyEntry(fuse_req_t req, int err, const fuse_entry_param& entry) {
  if (err == ENOENT) {
    // A negative entry: the kernel remembers the miss (git and editors probe a
    // lot of names); the change poller clears it when the name appears.
    fuse_entry_param none{};
    none.entry_timeout = fs(req).entryTimeout();
    fuse_reply_entry(req, &none);
  } else if (err) {
    fuse_reply_err(req, err);
  } else {
    fuse_reply_entry(req, &entry);
  }
}

// Names are bytes to the kernel but text to everything behind this table: the
// link, the identifiers and every JSON record carry UTF-8 only. A name that
// cannot be stored is refused here, so nothing past this file ever holds one.
// The kernel lets names of up to 1024 bytes through; the peer's folders stop
// at kNameMax, and so does this one: refused at once, not by the peer after a
// close already said the file was kept.
int refusalOf(std::string_view name) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (!foundation::isValidUtf8(name)) return EILSEQ;
  return 0;
}

// For a request that would make `name`: 0, or the errno it is refused with
// after one warning record.
int refuseNewName(const char* name) {
  const int err = refusalOf(name);
  if (err) {
    warn({.event = "mount.name_refused",
          .level = "WARN",
          .detail = foundation::printableUtf8(name),
          .reason = err == EILSEQ ? "not UTF-8" : "longer than 255 bytes"});
  }
  return err;
}

// Whether the kernel takes "folders cannot be opened" to mean "nothing to open";
// set once at init, before any request. One session per process.
std::atomic<bool> foldersUnopened{false};

void init(void*, fuse_conn_info* conn) {
  for (unsigned wanted : {FUSE_CAP_SPLICE_WRITE, FUSE_CAP_SPLICE_MOVE, FUSE_CAP_SPLICE_READ, FUSE_CAP_READDIRPLUS,
                          FUSE_CAP_CACHE_SYMLINKS, FUSE_CAP_NO_OPENDIR_SUPPORT}) {
    if (conn->capable & wanted) conn->want |= wanted;
  }
  foldersUnopened = (conn->want & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // every listing comes with its attributes
  conn->max_write = 1 << 20;                 // fewer, larger writes; libfuse lowers it to what the kernel takes
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_entry_param entry{};
  // A name that cannot be stored names nothing here.
  int err = refusalOf(name);
  if (err == EILSEQ) err = ENOENT;
  if (!err) err = fs(req).lookup(parent, name, entry);
  replyEntry(req, err, entry);
}

void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  fs(req).forgotten(ino, nlookup);
  fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st {};
  if (int err = fs(req).getattr(ino, st)) return (void)fuse_reply_err(req, err);
  fuse_reply_attr(req, &st, fs(req).entryTimeout());
}

void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  struct stat st {};
  if (int err = fs(req).setattr(ino, *attr, toSet, fi ? handleOf(fi) : nullptr, st)) {
    return (void)fuse_reply_err(req, err);
  }
  fuse_reply_attr(req, &st, fs(req).entryTimeout());
}

void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  fuse_entry_param entry{};
  int err = refuseNewName(name);
  if (!err) err = fs(req).mkdir(parent, name, entry);
  if (err) return (void)fuse_reply_err(req, err);
  fuse_reply_entry(req, &entry);
}

// The kernel looks a name up before it removes it, and no lookup finds a name
// that cannot be stored; these answers are for a kernel that skipped the lookup.
void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_reply_err(req, refusalOf(name) ? ENOENT : fs(req).unlink(parent, name));
}

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_reply_err(req, refusalOf(name) ? ENOENT : fs(req).rmdir(parent, name));
}

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
            unsigned flags) {
  if (refusalOf(name)) return (void)fuse_reply_err(req, ENOENT);
  int err = refuseNewName(newName);
  if (!err) err = fs(req).rename(parent, name, newParent, newName, flags);
  fuse_reply_err(req, err);
}

// A peer's share holds files and folders only. A name that could never be
// stored is told so first, as it would be by any request that makes one.
void refuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char* name) {
  const int err = refuseNewName(name);
  fuse_reply_err(req, err ? err : EPERM);
}
void refuseSymlink(fuse_req_t req, const char*, fuse_ino_t, const char* name) {
  const int err = refuseNewName(name);
  fuse_reply_err(req, err ? err : EPERM);
}
void refuseMknod(fuse_req_t req, fuse_ino_t, const char* name, mode_t, dev_t) {
  const int err = refuseNewName(name);
  fuse_reply_err(req, err ? err : EPERM);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  MountFileSystem::OpenFile* file = nullptr;
  bool keepCache = false;
  if (int err = fs(req).open(ino, fi->flags, file, keepCache)) return (void)fuse_reply_err(req, err);
  fi->fh = reinterpret_cast<uint64_t>(file);
  fi->keep_cache = keepCache;
  MountFileSystem& files = fs(req);  // a reply frees the request
  if (fuse_reply_open(req, fi) == -ENOENT) files.release(file);  // the opener was interrupted
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  MountFileSystem::OpenFile* file = nullptr;
  fuse_entry_param entry{};
  if (int err = refuseNewName(name)) return (void)fuse_reply_err(req, err);
  if (int err = fs(req).create(parent, name, file, entry)) return (void)fuse_reply_err(req, err);
  fi->fh = reinterpret_cast<uint64_t>(file);
  MountFileSystem& files = fs(req);  // a reply frees the request
  if (fuse_reply_create(req, &entry, fi) == -ENOENT) files.release(file);
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
  // Spliced from the materialised file: the bytes never pass through this process.
  const int err = fs(req).withReadDescriptor(handleOf(fi), [&](int fd) {
    fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.buf[0].fd = fd;
    buf.buf[0].pos = off;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
  });
  if (err) fuse_reply_err(req, err);
}

void writeBuffer(fuse_req_t req, fuse_ino_t, fuse_bufvec* data, off_t off, fuse_file_info* fi) {
  // A large write arrives in a pipe and is spliced into the working copy: its
  // bytes are never copied through this process.
  std::size_t written = 0;
  auto put = [&](int fd) -> ssize_t {
    fuse_bufvec into = FUSE_BUFVEC_INIT(fuse_buf_size(data));
    into.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    into.buf[0].fd = fd;
    into.buf[0].pos = off;
    return fuse_buf_copy(&into, data, static_cast<fuse_buf_copy_flags>(0));
  };
  if (int err = fs(req).write(handleOf(fi), off, put, written)) return (void)fuse_reply_err(req, err);
  fuse_reply_write(req, written);
}

void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { fuse_reply_err(req, fs(req).flush(handleOf(fi))); }

void fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) { fuse_reply_err(req, fs(req).fsync(handleOf(fi))); }

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  fs(req).release(handleOf(fi));
  fuse_reply_err(req, 0);
}

// Folders are never opened: the kernel then skips opendir and releasedir (two
// round trips a folder) and keeps each listing it read until the change poller
// says the folder changed. A kernel too old for that opens them and is told to
// keep their listings all the same.
void opendir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  if (foldersUnopened) return (void)fuse_reply_err(req, ENOSYS);
  fi->cache_readdir = 1;
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void readdirAny(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
  // Not zeroed: only what the entries fill is sent.
  std::unique_ptr<char[]> buffer(new char[size]);
  std::size_t used = 0;
  const double timeout = fs(req).entryTimeout();
  auto add = [&](const char* name, const struct stat& attributes, off_t next) {
    std::size_t need;
    if (plus) {
      fuse_entry_param param{};
      param.attr = attributes;
      // "." and ".." are not lookups; every other entry is.
      if (next > 2) {
        param.ino = attributes.st_ino;
        param.generation = 1;
        param.attr_timeout = param.entry_timeout = timeout;
      }
      need = fuse_add_direntry_plus(req, buffer.get() + used, size - used, name, &param, next);
    } else {
      need = fuse_add_direntry(req, buffer.get() + used, size - used, name, &attributes, next);
    }
    if (need > size - used) return false;
    used += need;
    return true;
  };
  if (int err = fs(req).readFolder(ino, off, add, plus)) return (void)fuse_reply_err(req, err);
  fuse_reply_buf(req, buffer.get(), used);
}

void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  readdirAny(req, ino, size, off, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  readdirAny(req, ino, size, off, true);
}

void statfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs figures {};
  if (int err = fs(req).statfs(figures)) return (void)fuse_reply_err(req, err);
  fuse_reply_statfs(req, &figures);
}

void fsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

// Every request is answered, also one whose handling threw: the program that
// asked gets EIO, the mount goes on serving every other request. (A FUSE
// thread that let the exception out would end the process, and with it the
// folder of every program using it.) Each operation replies as its last step,
// so a throw always comes before the reply.
template <auto Operation, typename... Args>
void answered(fuse_req_t req, Args... args) {
  const auto what = foundation::exceptionFrom([&] { Operation(req, args...); });
  if (!what) return;
  warn({.event = "mount.request_exception", .level = "ERROR", .reason = *what, .errorCode = "io"});
  fuse_reply_err(req, EIO);
}

fuse_lowlevel_ops makeOperations() {
  fuse_lowlevel_ops ops{};
  ops.init = init;
  ops.lookup = answered<lookup>;
  ops.forget = forget;
  ops.getattr = answered<getattr>;
  ops.setattr = answered<setattr>;
  ops.mkdir = answered<mkdir>;
  ops.unlink = answered<unlink>;
  ops.rmdir = answered<rmdir>;
  ops.rename = answered<rename>;
  ops.link = answered<refuseLink>;
  ops.symlink = answered<refuseSymlink>;
  ops.mknod = answered<refuseMknod>;
  // No extended attributes: without these the kernel hears ENOSYS once, answers
  // EOPNOTSUPP itself from then on, and stops asking for security.capability
  // before every write.
  ops.open = answered<open>;
  ops.create = answered<create>;
  ops.read = answered<read>;
  ops.write_buf = answered<writeBuffer>;
  ops.flush = answered<flush>;
  ops.fsync = answered<fsync>;
  ops.release = answered<release>;
  ops.opendir = answered<opendir>;
  ops.readdir = answered<readdir>;
  ops.readdirplus = answered<readdirplus>;
  ops.fsyncdir = fsyncdir;
  ops.statfs = answered<statfs>;
  return ops;
}

}  // namespace

const fuse_lowlevel_ops& fuseOperations() {
  static const fuse_lowlevel_ops ops = makeOperations();
  return ops;
}

}  // namespace corvane::framework::mount

#include "framework/mount/FuseOperations.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "framework/mount/MountFileSystem.h"

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
  int err = fs(req).lookup(parent, name, entry);
  replyEntry(req, err, entry);
}

void forget(fuse_req_t req, fuse_ino_t, uint64_t) {
  // Inodes stay for the mount's life: one per identifier, so numbers are stable.
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
  int err = fs(req).mkdir(parent, name, entry);
  if (err) return (void)fuse_reply_err(req, err);
  fuse_reply_entry(req, &entry);
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) { fuse_reply_err(req, fs(req).unlink(parent, name)); }

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) { fuse_reply_err(req, fs(req).rmdir(parent, name)); }

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
            unsigned flags) {
  fuse_reply_err(req, fs(req).rename(parent, name, newParent, newName, flags));
}

void refuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
void refuseSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }
void refuseMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(req, EPERM); }

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  MountFileSystem::OpenFile* file = nullptr;
  bool keepCache = false;
  if (int err = fs(req).open(ino, fi->flags, file, keepCache)) return (void)fuse_reply_err(req, err);
  fi->fh = reinterpret_cast<uint64_t>(file);
  fi->keep_cache = keepCache;
  if (fuse_reply_open(req, fi) == -ENOENT) fs(req).release(file);  // the opener was interrupted
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  MountFileSystem::OpenFile* file = nullptr;
  fuse_entry_param entry{};
  if (int err = fs(req).create(parent, name, file, entry)) return (void)fuse_reply_err(req, err);
  fi->fh = reinterpret_cast<uint64_t>(file);
  if (fuse_reply_create(req, &entry, fi) == -ENOENT) fs(req).release(file);
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
  if (int err = fs(req).readFolder(ino, off, add)) return (void)fuse_reply_err(req, err);
  fuse_reply_buf(req, buffer.get(), used);
}

void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  readdirAny(req, ino, size, off, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  readdirAny(req, ino, size, off, true);
}

void fsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

fuse_lowlevel_ops makeOperations() {
  fuse_lowlevel_ops ops{};
  ops.init = init;
  ops.lookup = lookup;
  ops.forget = forget;
  ops.getattr = getattr;
  ops.setattr = setattr;
  ops.mkdir = mkdir;
  ops.unlink = unlink;
  ops.rmdir = rmdir;
  ops.rename = rename;
  ops.link = refuseLink;
  ops.symlink = refuseSymlink;
  ops.mknod = refuseMknod;
  // No extended attributes: without these the kernel hears ENOSYS once, answers
  // EOPNOTSUPP itself from then on, and stops asking for security.capability
  // before every write.
  ops.open = open;
  ops.create = create;
  ops.read = read;
  ops.write_buf = writeBuffer;
  ops.flush = flush;
  ops.fsync = fsync;
  ops.release = release;
  ops.opendir = opendir;
  ops.readdir = readdir;
  ops.readdirplus = readdirplus;
  ops.fsyncdir = fsyncdir;
  return ops;
}

}  // namespace

const fuse_lowlevel_ops& fuseOperations() {
  static const fuse_lowlevel_ops ops = makeOperations();
  return ops;
}

}  // namespace corvane::framework::mount

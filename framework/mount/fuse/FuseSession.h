// FuseSession: one libfuse session serving the mount, mounted on its folder for
// as long as the object lives, with libfuse's stop-signal handlers installed.
#pragma once

#include <fuse_lowlevel.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace corvane::framework::mount {

class MountFileSystem;

class FuseSession {
 public:
  // Mounts `fs` on `mountPoint`, with `source` (where its files come from) as
  // df and mount show it. Absent, with `why` and the exit status it deserves,
  // when it cannot.
  static std::unique_ptr<FuseSession> open(MountFileSystem& fs, const std::string& source,
                                           const std::filesystem::path& mountPoint, int& status, std::string& why);
  ~FuseSession();  // unmounts if still mounted, then ends the session
  FuseSession(const FuseSession&) = delete;
  FuseSession& operator=(const FuseSession&) = delete;

  fuse_session* get() const { return session_; }
  // Serves the kernel's requests until a stop signal or an unmount from
  // outside: 0 for such a clean stop. `ending` runs once the session is told to
  // end, so that requests waiting on a host that never answers end too.
  int loop(const std::function<void()>& ending);
  void unmount();

 private:
  explicit FuseSession(fuse_session* session) : session_(session) {}

  fuse_session* const session_;
  bool handlers_ = false;
  bool mounted_ = false;
};

}  // namespace corvane::framework::mount

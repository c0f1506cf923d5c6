// A real FUSE mount of a share folder for the mount's end-to-end suites: the
// corvane-fp process, its log, and the folders it keeps, all under one TempDir.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace corvane::testing {

// The last records of the event logs below `root` that mention `text`, for a failure.
inline std::string eventsAbout(const std::filesystem::path& root, const std::string& text) {
  std::deque<std::string> out;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->path().extension() != ".jsonl") continue;
    std::istringstream lines(readFile(it->path()));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(text) == std::string::npos) continue;
      out.push_back(line);
      if (out.size() > 60) out.pop_front();
    }
  }
  std::string joined;
  for (const auto& line : out) joined += line + "\n";
  return joined;
}

inline std::string fuseMissing() {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not available here";
  if (run({"sh", "-c", "command -v fusermount3 >/dev/null"}) != 0) return "fusermount3 is not installed";
  return {};
}

// One mount of `share` at `root/mnt`, with every folder it keeps under `root`.
class Mount {
 public:
  // Waits until the folder is mounted unless `waitReady` is false.
  Mount(const std::filesystem::path& root, const std::string& domain, std::vector<std::string> hostArgs,
        bool waitReady = true)
      : root_(root), mnt_(root / "mnt") {
    std::filesystem::create_directories(mnt_);
    std::vector<std::string> args = {CORVANE_FP, "mount", "--domain", domain};
    args.insert(args.end(), hostArgs.begin(), hostArgs.end());
    args.insert(args.end(), {"--foreground", mnt_.string()});
    process_ = std::make_unique<ChildProcess>(args, ChildOptions{.errorFile = root / "mount.log"});
    if (waitReady) ready_ = eventually([&] { return run({"mountpoint", "-q", mnt_.string()}) == 0; });
  }
  ~Mount() {
    process_->stop(SIGTERM);
    if (run({"mountpoint", "-q", mnt_.string()}) == 0) run({"fusermount3", "-uz", mnt_.string()});
  }

  bool ready() const { return ready_; }
  const std::filesystem::path& path() const { return mnt_; }
  pid_t pid() const { return process_->pid(); }
  int stop(int signal = SIGTERM) {
    const int status = process_->stop(signal);
    // A mount killed outright leaves the kernel's side behind, answering ENOTCONN.
    if (signal == SIGKILL || run({"mountpoint", "-q", mnt_.string()}) == 0) {
      run({"fusermount3", "-uz", mnt_.string()});
    }
    return status;
  }
  std::string log() const { return readFile(root_ / "mount.log"); }

  // Runs `script` with bash in the mount, SHARE and WORK set; its exit status.
  int shell(const std::string& script, const std::filesystem::path& share) const {
    const std::string work = (root_ / "work").string();
    std::filesystem::create_directories(work);
    return run(
        {"env", "SHARE=" + share.string(), "WORK=" + work, "bash", "-ec", "cd " + mnt_.string() + "\n" + script});
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path mnt_;
  std::unique_ptr<ChildProcess> process_;
  bool ready_ = false;
};

class MountEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = fuseMissing(); !why.empty()) GTEST_SKIP() << why;
    writeFile(share() / "a.txt", "hello\n");
    writeFile(share() / "sub" / "b.txt", "x\n");
  }
  std::filesystem::path share() const { return dir_.path() / "share"; }

  TempDir dir_;
  ScopedEnv cache_{"XDG_CACHE_HOME", (dir_.path() / "cache").string()};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (dir_.path() / "run").string()};
  ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};  // the host's journal
  ScopedEnv groups_{"CORVANE_APP_GROUPS", (dir_.path() / "groups").string()};
};

}  // namespace corvane::testing

#include "framework/mount/fuse/FuseSession.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include "framework/mount/fuse/FuseOperations.h"

namespace corvane::framework::mount {

std::unique_ptr<FuseSession> FuseSession::open(MountFileSystem& fs, const std::string& source,
                                               const std::filesystem::path& mountPoint, int& status, std::string& why) {
  std::string fsname = "fsname=" + source;
  for (char& c : fsname) {
    if (c == ',') c = ' ';  // a comma would end the option
  }
  std::vector<std::string> arguments = {"corvane-fp", "-o", fsname + ",subtype=corvane,default_permissions"};
  // Every kernel request and its answer on standard error, for finding out what a program asks.
  if (std::getenv("CORVANE_FUSE_DEBUG")) arguments.push_back("-d");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  fuse_session* made = fuse_session_new(&args, &fuseOperations(), sizeof(fuse_lowlevel_ops), &fs);
  fuse_opt_free_args(&args);
  if (!made) {
    status = 2, why = "cannot start a FUSE session";
    return nullptr;
  }
  std::unique_ptr<FuseSession> session(new FuseSession(made));
  // libfuse takes only signals left at their default, and a shell starting a
  // program in the background ignores SIGINT for it; the mount must still stop.
  for (int signal : {SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
  if (fuse_set_signal_handlers(made) != 0) {
    status = 1, why = "cannot install signal handlers";
    return nullptr;
  }
  session->handlers_ = true;
  if (fuse_session_mount(made, mountPoint.c_str()) != 0) {
    status = 2, why = "cannot mount on " + mountPoint.string();
    return nullptr;
  }
  session->mounted_ = true;
  return session;
}

FuseSession::~FuseSession() {
  unmount();
  if (handlers_) fuse_remove_signal_handlers(session_);
  fuse_session_destroy(session_);
}

void FuseSession::unmount() {
  if (mounted_) fuse_session_unmount(session_);
  mounted_ = false;
}

int FuseSession::loop(const std::function<void()>& ending) {
  // The loop joins its workers before it returns, and a worker may wait on a
  // host that never answers: once the session is told to end (a signal, or an
  // unmount from outside), those waits end too.
  //
  // The loop's own thread then waits on a semaphore that only a worker ending
  // or a signal wakes. A stop signal the kernel gave to another thread (any of
  // ours may take it) ends the session but wakes neither, and with no request
  // coming the stop would wait for ever: the watch nudges the loop's thread
  // until the loop returns.
  std::atomic<bool> looping{true};
  struct sigaction nudge {};
  nudge.sa_handler = [](int) {};  // only to interrupt the wait; no SA_RESTART
  sigemptyset(&nudge.sa_mask);
  ::sigaction(SIGUSR1, &nudge, nullptr);
  const pthread_t loopThread = ::pthread_self();
  std::thread stopWatch([&] {
    while (looping && !fuse_session_exited(session_)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ending();
    for (; looping; std::this_thread::sleep_for(std::chrono::milliseconds(100))) ::pthread_kill(loopThread, SIGUSR1);
  });
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_clone_fd(config, 0);
  fuse_loop_cfg_set_max_threads(config, 16);
  fuse_loop_cfg_set_idle_threads(config, 4);
  // A loop ended by SIGINT/SIGTERM reports the signal; that is a clean stop.
  const int looped = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  looping = false;
  stopWatch.join();
  return looped == 0 || looped == SIGINT || looped == SIGTERM || looped == SIGHUP ? 0 : 1;
}

}  // namespace corvane::framework::mount

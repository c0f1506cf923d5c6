#include "framework/mount/MountCommand.h"

#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "framework/DomainManager.h"
#include "framework/SampleShare.h"
#include "framework/mount/ContentCache.h"
#include "framework/mount/ExtensionCalls.h"
#include "framework/mount/FuseOperations.h"
#include "framework/mount/HostSupervisor.h"
#include "framework/mount/KernelNotifier.h"
#include "framework/mount/MountFileSystem.h"
#include "framework/mount/MountStatus.h"
#include "framework/mount/PinSet.h"
#include "framework/mount/PinnedRefresh.h"
#include "framework/mount/UploadQueue.h"
#include "framework/mount/UserFolders.h"
#include "platform/foundation/JoinOrDetach.h"
#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane::framework::mount {

namespace {

constexpr const char* kPrefix = "corvane-fp mount: ";

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s%s\n", kPrefix, message.c_str());
  return status;
}

// Why `domain` cannot name a mount, or empty when it can. It becomes a file
// name in the cache, state and runtime folders, so it must stay one name there,
// and "host" is where the host keeps its own state and fetched copies.
std::string domainProblem(const std::string& domain) {
  if (domain.empty() || domain == "." || domain == ".." || domain.size() > 255 ||
      domain.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    return "domain \"" + domain + "\" is not a usable folder name";
  }
  if (domain == kHostFolderName) return "domain \"host\" is taken by the host's own folders; choose another";
  return {};
}

// Why the mount cannot be made here, or empty when it can.
std::string mountProblem(const std::filesystem::path& mountPoint) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    return "/dev/fuse is not available (" + std::string(std::strerror(errno)) +
           "): load the fuse module or run where FUSE is allowed";
  }
  if (!onPath("fusermount3")) return "fusermount3 is not installed (Debian package fuse3)";
  struct stat point {};
  if (::stat(mountPoint.c_str(), &point) != 0) {
    if (errno == ENOTCONN) {
      return mountPoint.string() + " is a mount whose process is gone: run fusermount3 -u " + mountPoint.string();
    }
    return "mount point " + mountPoint.string() + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(point.st_mode)) return "mount point " + mountPoint.string() + " is not a folder";
  struct stat parent {};
  if (::stat((mountPoint / "..").c_str(), &parent) == 0 && parent.st_dev != point.st_dev) {
    return mountPoint.string() + " is already mounted";
  }
  std::error_code error;
  if (!std::filesystem::is_empty(mountPoint, error) || error)
    return "mount point " + mountPoint.string() + " is not empty";
  return {};
}

// Every 2 s, and at once when the host link comes back: change enumeration over
// the cached folders, and a fresh status file. A link that comes back also
// sends the queued uploads at once.
class Poller {
 public:
  Poller(MountFileSystem& fs, std::function<bool()> linkReady, std::function<void()> linkBack,
         std::function<void()> report)
      : fs_(fs),
        linkReady_(std::move(linkReady)),
        linkBack_(std::move(linkBack)),
        report_(std::move(report)),
        thread_([this] { run(); }) {}
  ~Poller() {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    using namespace std::chrono;
    bool wasReady = false;
    auto next = steady_clock::now();  // the first round at once: it fills the listings
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      const bool ready = linkReady_();
      const bool cameBack = ready && !wasReady;
      wasReady = ready;
      if (cameBack || steady_clock::now() >= next) {
        lock.unlock();
        if (cameBack) linkBack_();
        const auto began = steady_clock::now();
        if (ready) fs_.pollChanges();
        report_();
        lock.lock();
        // A round asks every listed folder once the share moved; on a share of
        // many folders it costs more than the interval, so rounds are spaced to
        // keep the poller to a fifth of one core.
        const auto took = steady_clock::now() - began;
        next = steady_clock::now() + std::max<steady_clock::duration>(seconds(2), 4 * took);
      }
      wake_.wait_for(lock, milliseconds(250), [&] { return stopping_; });
    }
  }

  MountFileSystem& fs_;
  const std::function<bool()> linkReady_;
  const std::function<void()> linkBack_;
  const std::function<void()> report_;
  std::mutex mutex_;  // guards stopping_
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// Runs the mount in a child; the parent returns once the folder is usable (or
// the child gave up, having said why), as a mount command is expected to.
// Called before any thread exists, so the child is whole.
std::optional<int> detach(int& readyPipe) {
  int fds[2];
  if (::pipe(fds) != 0) return fail(1, std::string("cannot detach: ") + std::strerror(errno));
  const pid_t child = ::fork();
  if (child < 0) return fail(1, std::string("cannot detach: ") + std::strerror(errno));
  if (child == 0) {
    ::close(fds[0]);
    ::setsid();
    readyPipe = fds[1];
    return std::nullopt;
  }
  ::close(fds[1]);
  char answer = 0;
  ssize_t n;
  do {
    n = ::read(fds[0], &answer, 1);
  } while (n < 0 && errno == EINTR);
  ::close(fds[0]);
  return n == 1 && answer == 'y' ? 0 : 2;
}

void tellReady(int& readyPipe) {
  if (readyPipe < 0) return;
  const char yes = 'y';
  (void)!::write(readyPipe, &yes, 1);
  ::close(readyPipe);
  readyPipe = -1;
  // Detached from the terminal from here on.
  if (int null = ::open("/dev/null", O_RDWR); null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) ::close(null);
  }
}

// A stop waits for what was closed to reach the peer, saying on standard error
// how it goes; what is left stays in the journal for the next mount. The
// signal handlers are gone by now, so a second Ctrl-C stops at once.
std::size_t drain(UploadQueue& uploads, std::chrono::milliseconds timeout, const std::filesystem::path& pendingFolder,
                  const std::string& domain, const std::function<void()>& report) {
  const std::size_t pending = uploads.pendingCount();
  if (pending == 0) return 0;
  std::fprintf(stderr, "%s%zu uploads pending; waiting up to %lld s for them (Ctrl-C again stops now)\n", kPrefix,
               pending, static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
  const std::size_t left = uploads.drain(timeout, [&](std::size_t waiting) {
    std::fprintf(stderr, "%s%zu of %zu uploads sent\n", kPrefix, pending - std::min(pending, waiting), pending);
    report();
  });
  if (left == 0) {
    std::fprintf(stderr, "%sall %zu uploads sent\n", kPrefix, pending);
  } else {
    std::fprintf(stderr, "%s%zu uploads not sent; they stay in %s and go with the next mount of domain \"%s\"\n",
                 kPrefix, left, pendingFolder.c_str(), domain.c_str());
  }
  report();
  return left;
}

bool waitForLink(DomainManager& domains, const std::string& domain, std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!domains.linkReady(domain)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

std::optional<std::filesystem::path> onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parseSize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return std::nullopt;
  const std::uint64_t number = std::stoull(text.substr(0, digits));
  std::string unit = text.substr(digits);
  for (const char* suffix : {"iB", "B"}) {
    if (unit.size() > std::strlen(suffix) && unit.ends_with(suffix)) {
      unit.resize(unit.size() - std::strlen(suffix));
      break;
    }
  }
  static constexpr std::pair<const char*, int> kUnits[] = {{"", 0}, {"K", 10}, {"M", 20}, {"G", 30}, {"T", 40}};
  for (const auto& [name, shift] : kUnits) {
    if (unit != name) continue;
    if (shift && number > (UINT64_MAX >> shift)) return std::nullopt;
    return number << shift;
  }
  return std::nullopt;
}

int runMount(const MountOptions& options) {
  std::error_code error;
  const auto mountPoint = std::filesystem::absolute(options.mountPoint, error).lexically_normal();
  if (auto problem = domainProblem(options.domain); !problem.empty()) return fail(2, problem);
  if (auto problem = mountProblem(mountPoint); !problem.empty()) return fail(2, problem);

  std::filesystem::path share;
  if (!options.noHost) {
    if (options.share) {
      share = std::filesystem::absolute(*options.share, error);
      if (!std::filesystem::is_directory(share, error)) return fail(2, "share " + share.string() + " is not a folder");
    } else {
      auto folder = sampleShareFolder();
      if (!folder) return fail(1, "set XDG_DATA_HOME or HOME to say where the sample share goes");
      if (auto made = ensureSampleShare(*folder); !made.ok()) return fail(1, made.error().localizedDescription());
      share = *folder;
    }
  }

  int readyPipe = -1;
  if (!options.foreground) {
    if (auto parentStatus = detach(readyPipe)) return *parentStatus;
  }

  auto cache = ContentCache::open(options.domain);
  if (!cache.ok()) return fail(1, cache.error().localizedDescription());
  std::shared_ptr<ContentCache> contentCache = std::move(*cache);
  auto journal = UploadJournal::open(options.domain);
  if (!journal.ok()) return fail(1, journal.error().localizedDescription());
  const std::filesystem::path pendingFolder = (*journal)->folder();

  DomainManager domains;
  auto extension = domains.addDomain({options.domain, options.displayName});
  if (!extension.ok()) return fail(1, extension.error().localizedDescription());

  std::unique_ptr<HostSupervisor> host;
  if (!options.noHost) {
    auto started = HostSupervisor::start(options.domain, share, contentCache->folder() / "corvane-vfs-host.log");
    if (!started.ok()) return fail(1, started.error().localizedDescription());
    host = std::move(*started);
  }

  const auto patience = options.noHost ? std::chrono::hours(24 * 365) : std::chrono::seconds(60);
  if (options.noHost)
    std::fprintf(stderr, "%swaiting for a host to serve domain \"%s\"\n", kPrefix, options.domain.c_str());
  auto statusIn = [&](const std::string& linkPhase) {
    MountStatus now;
    now.domain = options.domain;
    now.mountPoint = mountPoint.string();
    now.pid = ::getpid();
    now.hostPid = host ? host->pid() : 0;
    now.linkPhase = linkPhase;
    return now;
  };
  // Seen by status and doctor while it waits: nothing is mounted yet.
  (void)writeStatus(statusIn("waiting"));
  if (!waitForLink(domains, options.domain, patience)) {
    removeStatus(options.domain);
    return fail(1, "corvane-vfs-host did not connect within 60 s; see " +
                       (contentCache->folder() / "corvane-vfs-host.log").string());
  }

  // The kernel's requests and the upload queue wait on calls of their own, so a
  // stop can end the first at once and give the second its drain time.
  auto calls = std::make_shared<ExtensionCalls>(*extension, std::chrono::seconds(60));
  auto uploadCalls = std::make_shared<ExtensionCalls>(*extension, std::chrono::seconds(60));
  auto uploads = std::make_shared<UploadQueue>(options.domain, uploadCalls, std::move(*journal), contentCache);
  // Eviction spares what is pinned and what still has to reach the peer.
  auto pinFile = PinSet::fileFor(options.domain);
  auto pins = std::make_shared<PinSet>(pinFile.value_or(pendingFolder.parent_path() / "pins.json"));
  contentCache->setKeep([pins, queue = std::weak_ptr<UploadQueue>(uploads)](const std::string& identifier) {
    if (pins->pinned(identifier)) return true;
    auto alive = queue.lock();
    return alive && alive->hasPending(identifier);
  });
  auto limits = ContentCache::defaultLimits(contentCache->folder());
  if (options.cacheMax) limits.maxBytes = *options.cacheMax;
  if (options.cacheMinFree) limits.minFree = *options.cacheMinFree;
  contentCache->setLimits(limits);
  // What an earlier run closed and never sent goes before anything else is seen.
  uploads->replay();
  if (std::size_t left = uploads->pendingCount()) {
    std::fprintf(stderr, "%s%zu uploads left by an earlier run could not be sent yet; they stay queued in %s\n",
                 kPrefix, left, pendingFolder.c_str());
  }
  MountFileSystem fs(calls, contentCache, uploads, {});
  uploads->startWorker();
  if (auto started = fs.start(); !started.ok()) return fail(1, started.error().localizedDescription());
  std::filesystem::remove(remoteChangesPath(options.domain), error);
  std::unique_ptr<PinnedRefresh> refresh;  // made once mounted: it opens files through the folder
  fs.setRemoteChangeSink([&options, &refresh](const std::vector<RemoteChange>& changes) {
    std::vector<std::string> lines;
    for (const auto& change : changes) {
      if (refresh && change.kind != RemoteChange::Kind::removed) refresh->changed(change.path);
      static constexpr const char* kKinds[] = {"added", "changed", "removed"};
      nlohmann::ordered_json line = {{"domain", options.domain},
                                     {"change", kKinds[static_cast<int>(change.kind)]},
                                     {"path", change.path},
                                     {"contentVersion", nullptr}};
      if (change.contentVersion) line["contentVersion"] = foundation::hexString(*change.contentVersion);
      lines.push_back(line.dump());
    }
    appendRemoteChanges(options.domain, lines);
  });

  // What file managers show as the folder's name.
  std::string rootName = options.displayName.empty() ? options.domain : options.displayName;
  if (auto root = calls->item(fileprovider::ItemIdentifier::rootContainer()); root.ok()) rootName = (*root)->filename();
  std::string fsname = "fsname=" + rootName;
  for (char& c : fsname) {
    if (c == ',') c = ' ';  // a comma would end the option
  }
  std::vector<std::string> arguments = {"corvane-fp", "-o", fsname + ",subtype=corvane,default_permissions"};
  // Every kernel request and its answer on standard error, for finding out what a program asks.
  if (std::getenv("CORVANE_FUSE_DEBUG")) arguments.push_back("-d");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

  fuse_session* session = fuse_session_new(&args, &fuseOperations(), sizeof(fuse_lowlevel_ops), &fs);
  fuse_opt_free_args(&args);
  if (!session) return fail(2, "cannot start a FUSE session");
  // libfuse takes only signals left at their default, and a shell starting a
  // program in the background ignores SIGINT for it; the mount must still stop.
  for (int signal : {SIGINT, SIGTERM}) std::signal(signal, SIG_DFL);
  if (fuse_set_signal_handlers(session) != 0) {
    fuse_session_destroy(session);
    return fail(1, "cannot install signal handlers");
  }
  if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);
    return fail(2, "cannot mount on " + mountPoint.string());
  }

  std::string phase;  // empty: from the link
  auto report = [&] {
    MountStatus now = statusIn(!phase.empty() ? phase : domains.linkReady(options.domain) ? "ready" : "waiting");
    contentCache->evict();  // space another program took is given back here too
    now.cacheBytes = contentCache->bytes();
    for (const auto& upload : uploads->queued()) {
      now.queued.push_back({upload.path, upload.size, upload.attempts, upload.lastError, upload.failed});
    }
    now.pendingUploads = now.queued.size();
    for (const auto& conflict : uploads->conflicts()) now.conflicts.push_back({conflict.path, conflict.copy});
    (void)writeStatus(now);
  };

  refresh = std::make_unique<PinnedRefresh>(mountPoint, pins);
  int status = 0;
  {
    KernelNotifier invalidator(session);
    fs.setInvalidationSink([&invalidator](std::vector<Invalidation> batch) { invalidator.post(std::move(batch)); });
    report();
    Poller poller(
        fs, [&] { return domains.linkReady(options.domain); }, [&] { uploads->wake(); }, report);

    if (options.foreground) {
      std::fprintf(stderr, "%s%s is mounted at %s; try `ls %s` in another terminal, Ctrl-C unmounts\n", kPrefix,
                   options.noHost ? ("domain \"" + options.domain + "\"").c_str() : share.c_str(), mountPoint.c_str(),
                   mountPoint.c_str());
    }
    tellReady(readyPipe);
    // Under systemd (Type=notify) the start returns here: mounted, and the root listed.
    ::sd_notifyf(0, "READY=1\nSTATUS=%s mounted at %s", options.domain.c_str(), mountPoint.c_str());

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
      while (looping && !fuse_session_exited(session)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      calls->abandonAll();
      for (; looping; std::this_thread::sleep_for(std::chrono::milliseconds(100))) ::pthread_kill(loopThread, SIGUSR1);
    });
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(config, 0);
    fuse_loop_cfg_set_max_threads(config, 16);
    fuse_loop_cfg_set_idle_threads(config, 4);
    // A loop ended by SIGINT/SIGTERM reports the signal; that is a clean stop.
    const int looped = fuse_session_loop_mt(session, config);
    status = looped == 0 || looped == SIGINT || looped == SIGTERM || looped == SIGHUP ? 0 : 1;
    fuse_loop_cfg_destroy(config);
    looping = false;
    stopWatch.join();
    fs.setInvalidationSink({});
  }
  fs.sealEverything();

  ::sd_notify(0, "STOPPING=1\nSTATUS=unmounted; sending what was closed");
  fuse_session_unmount(session);
  fuse_remove_signal_handlers(session);
  fuse_session_destroy(session);
  refresh.reset();  // an open of its still waiting has failed with the connection by now
  if (drain(*uploads, options.drainTimeout, pendingFolder, options.domain, [&] {
        phase = "draining";
        report();
      }) != 0) {
    uploadCalls->abandonAll();  // the upload in flight stays journaled; the next mount checks what landed
  }
  uploads->stopWorker();
  removeStatus(options.domain);
  if (host) host->stop();
  domains.removeDomain(options.domain);
  CorvaneFpLog::drain();
  if (options.foreground) std::fprintf(stderr, "%sunmounted %s\n", kPrefix, mountPoint.c_str());
  return status;
}

}  // namespace corvane::framework::mount

#include "framework/mount/Mount.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "framework/mount/common/Counted.h"
#include "framework/mount/tree/KernelNotifier.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/CorvaneFpLogFile.h"

namespace corvane::framework::mount {

namespace {

constexpr const char* kPrefix = "corvane-fp mount: ";

// Eviction spares what is pinned and what still has to reach the peer. The
// cache outlives the queue, which adopts into it: the queue is held weakly.
class PinnedOrOwed final : public MaterializedCache::Spared {
 public:
  PinnedOrOwed(std::shared_ptr<PinSet> pins, std::weak_ptr<UploadQueue> uploads)
      : pins_(std::move(pins)), uploads_(std::move(uploads)) {}
  bool spared(const std::string& identifier) const override {
    if (pins_->pinned(identifier)) return true;
    auto alive = uploads_.lock();
    return alive && alive->hasPending(identifier);
  }

 private:
  const std::shared_ptr<PinSet> pins_;
  const std::weak_ptr<UploadQueue> uploads_;
};

bool waitForLink(DomainManager& domains, const std::string& domain, std::chrono::seconds patience,
                 const HostSupervisor* host) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!domains.linkReady(domain)) {
    if (std::chrono::steady_clock::now() >= deadline || (host && host->gaveUp())) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What the host is told to serve.
std::vector<std::string> hostArguments(const MountOptions& options, const std::filesystem::path& share) {
  if (!options.remote) return {"--peer", options.domain + "=" + share.string()};
  std::vector<std::string> arguments{"--remote", options.domain + "=" + options.remote->text()};
  if (options.sshCommand) arguments.insert(arguments.end(), {"--ssh-command", *options.sshCommand});
  if (options.remoteProgram) arguments.insert(arguments.end(), {"--remote-program", *options.remoteProgram});
  return arguments;
}

}  // namespace

Mount::Mount(MountOptions options, std::filesystem::path mountPoint, std::filesystem::path share)
    : options_(std::move(options)),
      mountPoint_(std::move(mountPoint)),
      share_(std::move(share)),
      status_(options_.domain, mountPoint_, [this] { return host_ ? host_->pid() : 0; }),
      feed_(options_.domain) {}

Mount::~Mount() {
  // After a failed open: what was made goes in reverse, the worker first, as
  // it calls back into the file system.
  if (uploads_) uploads_->stopWorker();
}

std::optional<Mount::Failure> Mount::open() {
  if (auto failed = openStorage()) return failed;
  if (auto failed = connectHost()) return failed;
  openUploads();
  return openFileSystem();
}

std::optional<Mount::Failure> Mount::openStorage() {
  auto cache = MaterializedCache::open(options_.domain);
  if (!cache.ok()) return Failure{1, cache.error().localizedDescription()};
  cache_ = std::move(*cache);
  auto journal = UploadJournal::open(options_.domain);
  if (!journal.ok()) return Failure{1, journal.error().localizedDescription()};
  journal_ = std::move(*journal);
  pendingFolder_ = journal_->folder();
  auto times = ModifiedTimes::open(options_.domain);
  if (!times.ok()) return Failure{1, times.error().localizedDescription()};
  times_ = std::move(*times);
  return std::nullopt;
}

std::optional<Mount::Failure> Mount::connectHost() {
  auto extension = domains_.addDomain({options_.domain, options_.displayName});
  if (!extension.ok()) return Failure{1, extension.error().localizedDescription()};
  extension_ = *extension;
  // Logs are state, kept with the domain's journal, not a cache to be swept.
  const auto hostLog = pendingFolder_.parent_path() / "corvane-vfs-host.log";
  LogBound(hostLog).check();
  if (auto logs = CorvaneFpLog::logsDirectory()) {
    eventLog_.emplace(*logs / CorvaneFpLogFile::kFileName);
    eventLog_->check();
  }
  if (!options_.noHost) {
    auto started = HostSupervisor::start(hostArguments(options_, share_), hostLog);
    if (!started.ok()) return Failure{1, started.error().localizedDescription()};
    host_ = std::move(*started);
  } else {
    std::fprintf(stderr, "%swaiting for a host to serve domain \"%s\"\n", kPrefix, options_.domain.c_str());
  }
  status_.waiting();
  const auto patience = options_.noHost ? std::chrono::hours(24 * 365) : std::chrono::seconds(60);
  if (!waitForLink(domains_, options_.domain, patience, host_.get())) {
    if (auto why = host_ ? host_->gaveUp() : std::nullopt) return Failure{1, *why};
    return Failure{1, "corvane-vfs-host did not connect within 60 s; see " + hostLog.string()};
  }
  watch_ = std::make_shared<HostWatch>(domains_.hostPing(options_.domain));
  calls_ = std::make_shared<ExtensionCalls>(extension_, std::chrono::seconds(60), watch_);
  uploadCalls_ = std::make_shared<ExtensionCalls>(extension_, std::chrono::seconds(60), watch_);
  return std::nullopt;
}

void Mount::openUploads() {
  uploads_ = std::make_shared<UploadQueue>(options_.domain, uploadCalls_, std::move(journal_), cache_);
  uploads_->onQueued([this] { status_.queueChanged(); });
  pins_ = std::make_shared<PinSet>(PinSet::fileFor(options_.domain).value_or(pendingFolder_.parent_path() /
                                                                              "pins.json"));
  cache_->setSpared(std::make_shared<PinnedOrOwed>(pins_, uploads_));
  auto limits = MaterializedCache::defaultLimits(cache_->folder());
  if (options_.cacheMax) limits.maxBytes = *options_.cacheMax;
  if (options_.cacheMinFree) limits.minFree = *options_.cacheMinFree;
  cache_->setLimits(limits);
  // What an earlier run closed and never sent goes before anything else is seen.
  uploads_->replay();
  if (std::size_t left = uploads_->pendingCount()) {
    std::fprintf(stderr, "%s%zu uploads left by an earlier run could not be sent yet; they stay queued in %s\n",
                 kPrefix, left, pendingFolder_.c_str());
  }
}

std::optional<Mount::Failure> Mount::openFileSystem() {
  fs_ = std::make_unique<MountFileSystem>(calls_, cache_, uploads_,
                                          MountFileSystem::Options{.shareElsewhere = options_.remote.has_value()});
  fs_->keepTimesIn(times_);
  uploads_->startWorker();
  if (auto started = fs_->start(); !started.ok()) return Failure{1, started.error().localizedDescription()};
  fs_->setRemoteChangeSink([this](const std::vector<RemoteChange>& changes) { feed_.applied(changes); });
  int status = 0;
  std::string why;
  // df and mount show where the files come from, as they do for sshfs or NFS.
  const std::string source = options_.remote  ? options_.remote->text()
                             : share_.empty() ? "corvane:" + options_.domain
                                              : share_.string();
  session_ = FuseSession::open(*fs_, source, mountPoint_, status, why);
  if (!session_) return Failure{status, why};
  refresh_ = std::make_unique<PinnedRefresh>(mountPoint_, pins_);
  feed_.setRefresh(refresh_.get());
  return std::nullopt;
}

int Mount::serve(const std::function<void()>& ready) {
  KernelNotifier notifier(session_->get());
  fs_->setInvalidationSink([&notifier](std::vector<Invalidation> batch) { notifier.post(std::move(batch)); });
  status_.serving([this] { return domains_.linkReady(options_.domain); }, watch_, cache_, uploads_);
  int status;
  {
    // After each round, what the peer was asked and never answered before it
    // is looked up again, so that the peer's state shows rather than a guess.
    PollLoop poller(
        [this] {
          auto unanswered = calls_->takeUnanswered();
          auto uploads = uploadCalls_->takeUnanswered();
          unanswered.insert(unanswered.end(), uploads.begin(), uploads.end());
          fs_->pollChanges();
          fs_->recheck(unanswered);
        },
        [this] { return domains_.linkReady(options_.domain) && watch_->answering(); }, [this] { uploads_->wake(); },
        [this] {
          status_.report();
          if (eventLog_) eventLog_->checkNowAndThen();
        },
        watch_);
    ready();
    // Under systemd (Type=notify) the start returns here: mounted, and the root listed.
    ::sd_notifyf(0, "READY=1\nSTATUS=%s mounted at %s", options_.domain.c_str(), mountPoint_.c_str());
    status = session_->loop([this] { calls_->abandonAll(); });
  }
  fs_->setInvalidationSink({});
  return status;
}

void Mount::stop() {
  // What a handle wrote and no close sealed (a mapping's last pages come with a
  // release an unmount can overtake) is sealed before anything else ends.
  fs_->sealEverything();
  ::sd_notify(0, "STOPPING=1\nSTATUS=unmounted; sending what was closed");
  session_.reset();
  feed_.setRefresh(nullptr);
  refresh_.reset();  // an open of its still waiting has failed with the connection by now
  if (drain() != 0) uploadCalls_->abandonAll();  // the upload in flight stays journaled; the next mount checks
  uploads_->stopWorker();
  status_.remove();
  if (host_) host_->stop();
  domains_.removeDomain(options_.domain);
  CorvaneFpLog::drain();
}

// A stop waits for what was closed to reach the peer, saying on standard error
// how it goes; what is left stays in the journal for the next mount. The
// signal handlers are gone by now, so a second Ctrl-C stops at once.
std::size_t Mount::drain() {
  status_.draining();
  const std::size_t pending = uploads_->pendingCount();
  if (pending == 0) return 0;
  std::fprintf(stderr, "%s%s pending; waiting up to %lld s for them (Ctrl-C again stops now)\n", kPrefix,
               counted(pending, "upload").c_str(),
               static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(options_.drainTimeout).count()));
  const std::size_t left = uploads_->drain(options_.drainTimeout, [&](std::size_t waiting) {
    std::fprintf(stderr, "%s%zu of %s sent\n", kPrefix, pending - std::min(pending, waiting),
                 counted(pending, "upload").c_str());
    status_.report();
  });
  if (left == 0) {
    std::fprintf(stderr, "%s%s sent\n", kPrefix,
                 pending == 1 ? "the upload" : ("all " + counted(pending, "upload")).c_str());
  } else {
    std::fprintf(stderr, "%s%s not sent; %s in %s and %s with the next mount of domain \"%s\"\n", kPrefix,
                 counted(left, "upload").c_str(), left == 1 ? "it stays" : "they stay", pendingFolder_.c_str(),
                 left == 1 ? "goes" : "go", options_.domain.c_str());
  }
  status_.report();
  return left;
}

}  // namespace corvane::framework::mount

#include "framework/commands/MountCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/SampleShare.h"
#include "framework/mount/Mount.h"
#include "framework/mount/MountStatus.h"
#include "framework/mount/service/Preflight.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

constexpr const char* kPrefix = "corvane-fp mount: ";

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s%s\n", kPrefix, message.c_str());
  return status;
}

// Runs the mount in a child; the parent returns once the folder is usable (or
// the child gave up, having said why), as a mount command is expected to.
// Called before any thread exists, so the child is whole.
std::optional<int> detach(int& readyPipe, const std::string& mounted) {
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
  if (n != 1 || answer != 'y') return 2;
  std::fprintf(stderr, "%s%s\n", kPrefix, mounted.c_str());
  return 0;
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

// What is mounted, as the lines that say so name it.
std::string shown(const MountOptions& options, const std::filesystem::path& share) {
  return options.noHost   ? "domain \"" + options.domain + "\""
         : options.remote ? options.remote->text()
                          : share.string();
}

// The share the host serves: the one asked for, else the sample share, made
// on first use. Empty with --no-host.
std::optional<std::string> shareFolder(const MountOptions& options, std::filesystem::path& share) {
  if (options.noHost || options.remote) return std::nullopt;
  std::error_code error;
  if (options.share) {
    share = std::filesystem::absolute(*options.share, error);
    if (!std::filesystem::is_directory(share, error)) return "share " + share.string() + " is not a folder";
    return std::nullopt;
  }
  auto folder = sampleShareFolder();
  if (!folder) return "set XDG_DATA_HOME or HOME to say where the sample share goes";
  if (auto made = ensureSampleShare(*folder); !made.ok()) return made.error().localizedDescription();
  share = *folder;
  return std::nullopt;
}

int runMount(const MountOptions& options) {
  std::error_code error;
  const auto mountPoint = std::filesystem::absolute(options.mountPoint, error).lexically_normal();
  for (auto problem : {domainProblem(options.domain), fuseDeviceProblem(), fusermountProblem(),
                       mountPointProblem(mountPoint)}) {
    if (problem) return fail(2, problem->line());
  }
  // Two mounts of one domain would share its journal and cache: the second is
  // refused before it waits for a host the first one holds.
  for (const auto& running : readStatuses()) {
    if (running.domain == options.domain) {
      return fail(2, "domain " + options.domain + " is already mounted at " + running.mountPoint + " (pid " +
                         std::to_string(running.pid) + ")");
    }
  }
  std::filesystem::path share;
  if (auto problem = shareFolder(options, share)) return fail(options.share ? 2 : 1, *problem);

  int readyPipe = -1;
  if (!options.foreground) {
    const std::string mounted = shown(options, share) + " is mounted at " + mountPoint.string() +
                                "; `corvane-fp unmount " + mountPoint.string() + "` stops it";
    if (auto parentStatus = detach(readyPipe, mounted)) return *parentStatus;
  }
  Mount mount(options, mountPoint, share);
  if (auto failed = mount.open()) return fail(failed->status, failed->message);
  const int status = mount.serve([&] {
    if (options.foreground) {
      std::fprintf(stderr, "%s%s is mounted at %s; try `ls %s` in another terminal, Ctrl-C unmounts\n", kPrefix,
                   shown(options, share).c_str(), mountPoint.c_str(), mountPoint.c_str());
    }
    tellReady(readyPipe);
  });
  mount.stop();
  if (options.foreground) std::fprintf(stderr, "%sunmounted %s\n", kPrefix, mountPoint.c_str());
  return status;
}

void setDrainTimeout(MountOptions& options, const std::string& from, const std::string& text) {
  auto seconds = parseDrainSeconds(text);
  if (!seconds) ArgumentReader::invalid(from, text, kDrainSeconds);
  options.drainTimeout = std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
}

void setCacheSize(std::optional<std::uint64_t>& size, const std::string& from, const std::string& text) {
  size = parseSize(text);
  if (!size) ArgumentReader::invalid(from, text, kCacheSize);
}

}  // namespace

int runMountCommand(const Arguments& arguments) {
  MountOptions options;
  // A service's settings file gives these as its environment; typed options
  // still have the last word.
  if (const char* seconds = std::getenv("CORVANE_DRAIN_TIMEOUT")) {
    setDrainTimeout(options, "CORVANE_DRAIN_TIMEOUT", seconds);
  }
  if (const char* size = std::getenv("CORVANE_CACHE_MAX")) setCacheSize(options.cacheMax, "CORVANE_CACHE_MAX", size);
  bool haveShare = false;
  bool haveDomain = false;
  std::vector<std::string> positional;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& flag = reader.next();
    if (flag == "--no-host") {
      options.noHost = true;
    } else if (flag == "--foreground" || flag == "-f") {
      options.foreground = true;
    } else if (flag == "--drain-timeout") {
      setDrainTimeout(options, flag, reader.value(flag, kDrainSeconds));
    } else if (flag == "--cache-max" || flag == "--cache-min-free") {
      setCacheSize(flag == "--cache-max" ? options.cacheMax : options.cacheMinFree, flag,
                   reader.value(flag, kCacheSize));
    } else if (flag == "--domain") {
      options.domain = reader.value(flag, "a domain id"), haveDomain = true;
    } else if (flag == "--display-name") {
      options.displayName = reader.value(flag, "a name");
    } else if (flag == "--share") {
      options.share = reader.value(flag, "a folder"), haveShare = true;
    } else if (flag == "--ssh-command") {
      options.sshCommand = reader.value(flag, "a command");
    } else if (flag == "--remote-program") {
      options.remoteProgram = reader.value(flag, "a program");
    } else if (!flag.empty() && flag[0] != '-' && positional.size() < 2) {
      positional.push_back(flag);
    } else {
      ArgumentReader::unexpected(flag);
    }
  }
  if (positional.empty()) throw UsageError("a MOUNTPOINT is needed");
  options.mountPoint = positional.back();
  if (positional.size() == 2) {
    // The share first, as in `mount SOURCE TARGET`: another machine's folder,
    // or one of this machine as --share names it (how the service passes both).
    if (haveShare) throw UsageError("--share and a SOURCE both name the share: give one");
    if (!host::looksRemote(positional.front())) {
      options.share = positional.front();
      haveShare = true;
    } else {
      auto address = host::parseRemoteAddress(positional.front());
      if (const std::string* mistake = std::get_if<std::string>(&address)) return fail(2, *mistake);
      options.remote = std::get<host::RemoteAddress>(address);
      if (!haveDomain) options.domain = options.remote->defaultDomain();
    }
  }
  if ((options.sshCommand || options.remoteProgram) && !options.remote) {
    throw UsageError(std::string(options.sshCommand ? "--ssh-command" : "--remote-program") +
                     " is for a share on another machine ([USER@]HOST:DIR)");
  }
  if (options.noHost && options.remote) throw UsageError("--no-host and a [USER@]HOST:DIR cannot go together");
  if (haveShare && options.noHost) throw UsageError("--share and --no-host cannot go together");
  return runMount(options);
}

}  // namespace corvane::framework::commands

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
  std::filesystem::path share;
  if (auto problem = shareFolder(options, share)) return fail(options.share ? 2 : 1, *problem);

  int readyPipe = -1;
  if (!options.foreground) {
    if (auto parentStatus = detach(readyPipe)) return *parentStatus;
  }
  Mount mount(options, mountPoint, share);
  if (auto failed = mount.open()) return fail(failed->status, failed->message);
  const int status = mount.serve([&] {
    if (options.foreground) {
      const std::string what = options.noHost   ? "domain \"" + options.domain + "\""
                               : options.remote ? options.remote->text()
                                                : share.string();
      std::fprintf(stderr, "%s%s is mounted at %s; try `ls %s` in another terminal, Ctrl-C unmounts\n", kPrefix,
                   what.c_str(), mountPoint.c_str(), mountPoint.c_str());
    }
    tellReady(readyPipe);
  });
  mount.stop();
  if (options.foreground) std::fprintf(stderr, "%sunmounted %s\n", kPrefix, mountPoint.c_str());
  return status;
}

}  // namespace

int runMountCommand(const Arguments& arguments) {
  MountOptions options;
  bool haveShare = false;
  bool haveDomain = false;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (flag == "--no-host") {
      options.noHost = true;
    } else if (flag == "--foreground" || flag == "-f") {
      options.foreground = true;
    } else if (flag == "--drain-timeout") {
      if (!hasValue) return kBadArguments;
      char* end = nullptr;
      const std::string& text = arguments[++i];
      const double seconds = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !(seconds >= 0) || seconds > 86400) return kBadArguments;
      options.drainTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } else if (flag == "--cache-max" || flag == "--cache-min-free") {
      auto size = hasValue ? parseSize(arguments[++i]) : std::nullopt;
      if (!size) return kBadArguments;
      (flag == "--cache-max" ? options.cacheMax : options.cacheMinFree) = *size;
    } else if (flag == "--domain" || flag == "--display-name" || flag == "--share" || flag == "--ssh-command" ||
               flag == "--remote-program") {
      if (!hasValue || arguments[i + 1].empty()) return kBadArguments;
      const std::string& value = arguments[++i];
      if (flag == "--domain") options.domain = value, haveDomain = true;
      if (flag == "--display-name") options.displayName = value;
      if (flag == "--share") options.share = value, haveShare = true;
      if (flag == "--ssh-command") options.sshCommand = value;
      if (flag == "--remote-program") options.remoteProgram = value;
    } else if (!flag.empty() && flag[0] != '-' && positional.size() < 2) {
      positional.push_back(flag);
    } else {
      return kBadArguments;
    }
  }
  if (positional.empty()) return kBadArguments;
  options.mountPoint = positional.back();
  if (positional.size() == 2) {
    // The share first, as in `mount SOURCE TARGET`: another machine's folder,
    // or one of this machine as --share names it (how the service passes both).
    if (haveShare) return kBadArguments;
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
  if ((options.sshCommand || options.remoteProgram) && !options.remote) return kBadArguments;
  if ((haveShare || options.noHost) && options.remote) return kBadArguments;
  if (haveShare && options.noHost) return kBadArguments;
  return runMount(options);
}

}  // namespace corvane::framework::commands

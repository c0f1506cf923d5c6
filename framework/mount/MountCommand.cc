#include "framework/mount/MountCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/SampleShare.h"
#include "framework/mount/Mount.h"
#include "framework/mount/Preflight.h"

namespace corvane::framework::mount {

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

// The share the host serves: the one asked for, else the sample share, made
// on first use. Empty with --no-host.
std::optional<std::string> shareFolder(const MountOptions& options, std::filesystem::path& share) {
  if (options.noHost) return std::nullopt;
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
      const std::string what = options.noHost ? "domain \"" + options.domain + "\"" : share.string();
      std::fprintf(stderr, "%s%s is mounted at %s; try `ls %s` in another terminal, Ctrl-C unmounts\n", kPrefix,
                   what.c_str(), mountPoint.c_str(), mountPoint.c_str());
    }
    tellReady(readyPipe);
  });
  mount.stop();
  if (options.foreground) std::fprintf(stderr, "%sunmounted %s\n", kPrefix, mountPoint.c_str());
  return status;
}

}  // namespace corvane::framework::mount

#include "framework/commands/ForgetCommand.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstdio>
#include <string>
#include <vector>

#include "framework/mount/MountStatus.h"
#include "framework/mount/common/Counted.h"
#include "framework/mount/common/UserFolders.h"
#include "framework/mount/service/Preflight.h"
#include "framework/mount/upload/UploadJournal.h"
#include "host/HostLocations.h"
#include "platform/foundation/UniqueFd.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

constexpr const char* kForget = "corvane-fp forget: ";

int refuse(const std::string& why) { return complain(kForget, why, 1); }

int forget(const std::string& domain, bool discardUploads) {
  for (const auto& status : readStatuses()) {
    if (status.domain == domain) {
      return refuse("domain " + domain + " is mounted at " + status.mountPoint + "; unmount it first");
    }
  }
  auto state = domainStateFolder(domain);
  auto cache = domainCacheFolder(domain);
  auto hostState = host::defaultStateDirectory();
  auto hostCache = host::defaultCacheDirectory();
  if (!state || !cache || !hostState || !hostCache) return refuse("set HOME (or the XDG variables)");
  std::error_code error;
  std::vector<std::filesystem::path> doomed = {*state, *cache};
  for (auto& file : host::peerStateFiles(*hostState, *hostCache, domain)) doomed.push_back(std::move(file));
  const auto lock = host::lockFile(*hostState, domain);
  bool anything = std::filesystem::exists(lock, error);
  for (const auto& path : doomed) anything = anything || std::filesystem::exists(path, error);
  if (!anything) return refuse("nothing is kept for domain " + domain);

  // A host serving the peer (one started by hand, say) holds its lock: its
  // state is in use.
  foundation::UniqueFd held(::open(lock.c_str(), O_RDWR | O_CLOEXEC));
  if (held.valid() && ::flock(held.get(), LOCK_EX | LOCK_NB) != 0) {
    return refuse("a corvane-vfs-host is serving peer " + domain + "; stop it first");
  }
  if (std::filesystem::exists(*state / "pending", error)) {
    auto journal = UploadJournal::open(domain);
    if (!journal.ok()) return refuse(journal.error().localizedDescription());
    const auto left = (*journal)->load();
    if (!left.empty() && !discardUploads) {
      std::fprintf(stderr, "%sdomain %s has %s not sent:\n", kForget, domain.c_str(),
                   counted(left.size(), "upload").c_str());
      for (const auto& record : left) std::fprintf(stderr, "  %s\n", record.path.c_str());
      return refuse("mount it to send them, or forget it with --discard-uploads to drop them");
    }
  }
  int status = 0;
  doomed.push_back(lock);
  for (const auto& path : doomed) {
    std::filesystem::remove_all(path, error);
    if (error) status = refuse("cannot remove " + path.string() + ": " + error.message());
  }
  if (status == 0) std::printf("forgot domain %s\n", domain.c_str());
  return status;
}

}  // namespace

int runForgetCommand(const Arguments& arguments) {
  std::string domain;
  bool discardUploads = false;
  ArgumentReader reader(arguments);
  while (reader.more()) {
    const std::string& argument = reader.next();
    if (argument == "--discard-uploads") {
      discardUploads = true;
    } else if (argument.starts_with("-") || !domain.empty()) {
      ArgumentReader::unexpected(argument);
    } else {
      domain = domainNamed(argument);
    }
  }
  if (domain.empty()) throw UsageError("a DOMAIN is needed");
  if (auto problem = domainProblem(domain)) throw UsageError(problem->line());
  return forget(domain, discardUploads);
}

}  // namespace corvane::framework::commands

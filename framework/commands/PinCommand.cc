// `corvane-fp pin PATH...` and `corvane-fp unpin PATH...`. Pinning records the
// path first, so that nothing it brings in is evicted on the way, then opens
// every file below it through the mount: the mount's own fetch path
// materialises it, as it would for any program.
#include "framework/commands/PinCommand.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/mount/MountStatus.h"
#include "framework/mount/cache/PinSet.h"
#include "framework/mount/cache/PinnedRefresh.h"
#include "framework/mount/common/Counted.h"

namespace corvane::framework::commands {

using namespace mount;

namespace {

constexpr const char* kPin = "corvane-fp pin: ";
constexpr const char* kUnpin = "corvane-fp unpin: ";

struct InMount {
  std::string domain;
  std::filesystem::path local;  // the path as given, made absolute
  std::string path;             // in the mount, from "/"
};

// Which running mount `given` lies in, and where in it.
std::optional<InMount> locate(const std::string& given, const std::vector<MountStatus>& mounts) {
  std::error_code error;
  const auto local = std::filesystem::absolute(given, error).lexically_normal();
  for (const auto& mount : mounts) {
    const auto root = std::filesystem::path(mount.mountPoint).lexically_normal();
    const auto inside = local.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") continue;
    std::string path = inside == "." ? "/" : "/" + inside.string();
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return InMount{mount.domain, local, path};
  }
  return std::nullopt;
}

// Files and bytes done against the totals: a bar redrawn in place on a
// terminal, a plain line a second otherwise.
class Progress {
 public:
  Progress(std::size_t files, std::uint64_t bytes) : files_(files), bytes_(bytes), tty_(::isatty(STDERR_FILENO)) {}

  void advance(std::uint64_t bytes) {
    ++doneFiles_;
    doneBytes_ += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (doneFiles_ < files_ && now - shown_ < (tty_ ? std::chrono::milliseconds(100) : std::chrono::seconds(1))) return;
    shown_ = now;
    const double seconds = std::max(1e-3, std::chrono::duration<double>(now - start_).count());
    const double rate = doneBytes_ / seconds;
    char eta[32] = "";
    if (doneBytes_ < bytes_ && rate > 0) std::snprintf(eta, sizeof eta, ", ETA %.0f s", (bytes_ - doneBytes_) / rate);
    std::string bar;
    if (tty_) {
      const std::size_t filled = files_ ? 30 * doneFiles_ / files_ : 30;
      bar = "[" + std::string(filled, '#') + std::string(30 - filled, '-') + "] ";
    }
    // Over a moment's work (files already here) a rate says nothing true.
    const std::string speed = seconds >= 0.5 ? ", " + humanBytes(rate) + "/s" : "";
    std::fprintf(stderr, "%s%s%zu/%zu files, %s of %s%s%s%s", tty_ ? "\r" : "", bar.c_str(), doneFiles_, files_,
                 humanBytes(doneBytes_).c_str(), humanBytes(bytes_).c_str(), speed.c_str(), eta,
                 tty_ ? "\033[K" : "\n");
    if (tty_ && doneFiles_ == files_) std::fputc('\n', stderr);
  }

 private:
  const std::size_t files_;
  const std::uint64_t bytes_;
  const bool tty_;
  std::size_t doneFiles_ = 0;
  std::uint64_t doneBytes_ = 0;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point shown_{};
};

bool updatePins(const std::string& domain, const char* prefix,
                const std::function<void(std::vector<std::string>&)>& change) {
  auto file = PinSet::fileFor(domain);
  if (!file) {
    std::fprintf(stderr, "%sset XDG_STATE_HOME or HOME to say where pins are kept\n", prefix);
    return false;
  }
  auto pins = PinSet::read(*file);
  if (!pins.ok()) {
    std::fprintf(stderr, "%s%s\n", prefix, pins.error().localizedDescription().c_str());
    return false;
  }
  change(*pins);
  if (auto written = PinSet::write(*file, *pins); !written.ok()) {
    std::fprintf(stderr, "%s%s\n", prefix, written.error().localizedDescription().c_str());
    return false;
  }
  return true;
}

// Opens every file at or below `local` through the mount; false when one failed.
bool materialiseAll(const std::filesystem::path& local) {
  std::error_code error;
  const auto files = filesAtOrBelow(local, error);
  if (error == std::errc::no_such_file_or_directory && files.empty()) {
    std::fprintf(stderr, "%s%s: no such file or folder\n", kPin, local.c_str());
    return false;
  }
  bool ok = true;
  if (error) {
    std::fprintf(stderr, "%scannot list %s: %s\n", kPin, local.c_str(), error.message().c_str());
    ok = false;
  }
  std::vector<std::uint64_t> sizes;
  std::uint64_t total = 0;
  for (const auto& file : files) {
    std::error_code sized;
    const auto size = std::filesystem::file_size(file, sized);
    sizes.push_back(sized ? 0 : size);
    total += sizes.back();
  }
  Progress progress(files.size(), total);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (int err = fetchThroughMount(files[i])) {
      std::fprintf(stderr, "%scannot fetch %s: %s\n", kPin, files[i].c_str(), std::strerror(err));
      ok = false;
    }
    progress.advance(sizes[i]);
  }
  return ok;
}


int runPin(const std::vector<std::string>& paths, bool pin) {
  const char* prefix = pin ? kPin : kUnpin;
  const auto mounts = readStatuses();
  int status = 0;
  for (const auto& given : paths) {
    auto where = locate(given, mounts);
    if (!where) {
      std::fprintf(stderr, "%s%s is not in a running corvane-fp mount\n", prefix, given.c_str());
      status = std::max(status, 1);
      continue;
    }
    if (pin) {
      // Only what is there is pinned: a pin of nothing would stay behind, listed.
      std::error_code missing;
      if (!std::filesystem::exists(where->local, missing)) {
        std::fprintf(stderr, "%s%s: %s\n", prefix, given.c_str(),
                     missing ? missing.message().c_str() : "no such file or folder");
        status = std::max(status, 1);
        continue;
      }
      if (!updatePins(where->domain, prefix, [&](auto& pins) { pins.push_back(where->path); }) ||
          !materialiseAll(where->local)) {
        status = std::max(status, 1);
      }
      continue;
    }
    std::vector<std::string> covering;
    bool removed = false;
    const bool written = updatePins(where->domain, prefix, [&](std::vector<std::string>& pins) {
      const auto before = pins.size();
      std::erase_if(pins, [&](const std::string& pinned) { return PinSet::covers({where->path}, pinned); });
      removed = pins.size() != before;
      for (const auto& pinned : pins) {
        if (PinSet::covers({pinned}, where->path)) covering.push_back(pinned);
      }
    });
    if (!written) {
      status = std::max(status, 1);
    } else if (!covering.empty()) {
      std::fprintf(stderr, "%s%s stays pinned with its folder %s\n", prefix, where->path.c_str(), covering[0].c_str());
      status = std::max(status, 1);
    } else if (!removed) {
      std::fprintf(stderr, "%s%s was not pinned\n", prefix, where->path.c_str());
    }
  }
  return status;
}

// Whether every file of a pin reads here: each is opened through the mount,
// as `pin` does, so a file the peer changed and no refresh brought in yet is
// fetched now when the peer is there, and counted as missing when it is not.
std::string pinState(const std::filesystem::path& local) {
  std::error_code error;
  const auto files = filesAtOrBelow(local, error);
  if (error) return "incomplete: cannot list it: " + error.message();
  std::size_t missing = 0;
  std::string first;
  std::uint64_t bytes = 0;
  for (const auto& file : files) {
    if (int err = fetchThroughMount(file)) {
      if (missing++ == 0) first = file.string() + ": " + std::strerror(err);
      continue;
    }
    std::error_code sized;
    bytes += std::filesystem::file_size(file, sized);
  }
  if (missing) {
    return "incomplete: " + std::to_string(missing) + " of " + counted(files.size(), "file") + " not here (" + first +
           ")";
  }
  return "complete: " + counted(files.size(), "file") + ", " + humanBytes(static_cast<double>(bytes));
}

// The pins of every running mount, as paths on the mount, each with whether
// all of it is here.
int listPins() {
  int status = 0;
  for (const auto& mount : readStatuses()) {
    auto file = PinSet::fileFor(mount.domain);
    auto pins = file ? PinSet::read(*file) : foundation::Result<std::vector<std::string>>(std::vector<std::string>{});
    if (!pins.ok()) {
      std::fprintf(stderr, "%s%s\n", kPin, pins.error().localizedDescription().c_str());
      status = 1;
      continue;
    }
    for (const auto& path : *pins) {
      const auto local = (std::filesystem::path(mount.mountPoint) / path.substr(1)).lexically_normal();
      const std::string state = pinState(local);
      std::printf("%s\t%s\n", local.c_str(), state.c_str());
      if (!state.starts_with("complete")) status = 1;
    }
  }
  return status;
}

void refuseOptions(const Arguments& arguments) {
  if (arguments.empty()) throw UsageError("a PATH is needed");
  for (const auto& argument : arguments) {
    if (argument.starts_with("-")) ArgumentReader::unexpected(argument);
  }
}

}  // namespace

int runPinCommand(const Arguments& arguments) {
  if (arguments.size() == 1 && arguments[0] == "--list") return listPins();
  refuseOptions(arguments);
  return runPin(arguments, true);
}

int runUnpinCommand(const Arguments& arguments) {
  refuseOptions(arguments);
  return runPin(arguments, false);
}

}  // namespace corvane::framework::commands

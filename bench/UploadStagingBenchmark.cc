// Staging an upload against `cp` of the same file, in the same run: both copy one
// source (1 GiB by default) to a new file on the same file system, alternating
// round by round so that neither gets a warmer page cache. Staging should take at
// most 1.2 times as long as `cp`.
//
// Run: build-*/bin/corvane_upload_staging_benchmark [--size-mib N] [--rounds N] [--dir PATH]
// The source and the staging container are made in a new folder under PATH
// (default $TMPDIR, else /tmp) and removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchTable.h"
#include "shared/upload_staging/FileProviderUploadStaging.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace Staging = corvane::FileProviderUploadStaging;

struct Options {
  std::uint64_t sizeMiB = 1024;
  int rounds = 3;
  std::filesystem::path dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--size-mib") {
      options.sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (flag == "--rounds") {
      options.rounds = std::atoi(argv[i + 1]);
    } else if (flag == "--dir") {
      options.dir = argv[i + 1];
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options.sizeMiB > 0 && options.rounds > 0;
}

// Random bytes, each MiB made distinct by its index, so that no layer below can
// shortcut the copy of repeated or zero blocks.
bool writeSource(const std::filesystem::path& path, std::uint64_t sizeMiB) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> chunk((1 << 20) / sizeof(std::uint64_t));
  std::mt19937_64 random(7);
  for (auto& word : chunk) word = random();
  for (std::uint64_t i = 0; i < sizeMiB && out; ++i) {
    chunk[0] = i;
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 8));
  }
  out.close();
  // On disk before timing starts: its writeback must not land in a round.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  return static_cast<bool>(out) && synced;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One `cp` of `from` to `to`; absent when cp fails.
std::optional<double> timeCp(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::string cp = "cp", a = from.string(), b = to.string();
  char* argv[] = {cp.data(), a.data(), b.data(), nullptr};
  const auto start = Clock::now();
  pid_t pid;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0) return std::nullopt;
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double elapsed = seconds(Clock::now() - start);
  std::filesystem::remove(to);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return elapsed;
}

// One staging of `source` into `container`; absent when staging fails.
std::optional<double> timeStaging(const std::filesystem::path& source, const std::filesystem::path& container) {
  const auto start = Clock::now();
  auto staged = Staging::stage(source, container);
  const double elapsed = seconds(Clock::now() - start);
  if (!staged) {
    std::fprintf(stderr, "staging failed: %s\n", staged.error().localizedDescription().c_str());
    return std::nullopt;
  }
  (void)Staging::remove(*staged);
  return elapsed;
}

void report(const char* name, const std::vector<double>& times, std::uint64_t sizeMiB) {
  const double best = *std::min_element(times.begin(), times.end());
  std::printf("  %-28s best %7.3f s  %8.0f MiB/s  (%zu rounds)\n", name, best, static_cast<double>(sizeMiB) / best,
              times.size());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds N] [--dir PATH]\n", argv[0]);
    return 2;
  }
  std::error_code ec;
  std::string pattern = (options.dir / "corvane-staging-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path work = pattern;
  const auto source = work / "source.bin";
  const auto container = work / "container";

  int rc = 0;
  std::printf("upload staging vs cp: %llu MiB in %s\n", static_cast<unsigned long long>(options.sizeMiB), work.c_str());
  if (!writeSource(source, options.sizeMiB)) {
    std::perror("writing the source");
    rc = 1;
  } else {
    std::vector<double> cpTimes, stagingTimes;
    for (int round = 0; round < options.rounds && rc == 0; ++round) {
      // Alternate which goes first, so that neither always follows the other's writeback.
      std::optional<double> cp, staged;
      if (round % 2 == 0) {
        cp = timeCp(source, work / "cp-copy.bin");
        staged = timeStaging(source, container);
      } else {
        staged = timeStaging(source, container);
        cp = timeCp(source, work / "cp-copy.bin");
      }
      if (!cp || !staged) {
        rc = 1;
        break;
      }
      cpTimes.push_back(*cp);
      stagingTimes.push_back(*staged);
    }
    if (rc == 0) {
      report("cp (baseline)", cpTimes, options.sizeMiB);
      report("FileProviderUploadStaging", stagingTimes, options.sizeMiB);
      const double ratio = *std::min_element(stagingTimes.begin(), stagingTimes.end()) /
                           *std::min_element(cpTimes.begin(), cpTimes.end());
      std::printf("  staging time / cp time       %.2f (target <= 1.20)\n", ratio);
      using namespace corvane::bench;
      tableRow("upload staging of " + std::to_string(options.sizeMiB) + " MiB",
               figure(*std::min_element(stagingTimes.begin(), stagingTimes.end()), "s", 3),
               figure(*std::min_element(cpTimes.begin(), cpTimes.end()), "s cp", 3), ratio, "ratio <= 1.20",
               ratio <= 1.20);
    }
  }
  std::filesystem::remove_all(work, ec);
  return rc;
}

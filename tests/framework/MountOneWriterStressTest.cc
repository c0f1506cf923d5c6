// One writer, many processes: four threads of this process write, truncate,
// rename and unlink a few shared names in a few folders of the mount at once
// for CORVANE_STRESS_SECONDS (default 10). Nothing touches the peer's folder
// directly, so once every file is synced the share must equal the mount byte
// for byte and hold no conflict copy: a conflict copy means two writers
// changed a file, and here there was one.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

// Every regular file below `root` by its path relative to it, with its bytes.
std::map<std::string, std::string> filesBelow(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_regular_file(ignored)) out[std::filesystem::relative(it->path(), root).string()] = readFile(it->path());
  }
  return out;
}

TEST_F(MountEndToEnd, ProcessesSharingNamesConvergeWithoutAConflictCopy) {
  Mount mount(dir_.path(), "stress", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const std::vector<std::filesystem::path> folders = {mount.path(), mount.path() / "s1", mount.path() / "s2"};
  for (const auto& folder : folders) std::filesystem::create_directories(folder);
  const char* seconds = std::getenv("CORVANE_STRESS_SECONDS");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 10);
  std::atomic<std::uint64_t> operations{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      std::mt19937 random(static_cast<unsigned>(w));
      auto some = [&] { return folders[random() % folders.size()] / ("f" + std::to_string(random() % 8)); };
      while (std::chrono::steady_clock::now() < deadline) {
        const auto file = some();
        const std::string text(1 + random() % 5000, static_cast<char>('a' + random() % 26));
        switch (random() % 5) {
          case 0: {  // a whole new version
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) (void)!::write(fd, text.data(), text.size()), ::close(fd);
            break;
          }
          case 1: {  // an edit in place
            const int fd = ::open(file.c_str(), O_WRONLY);
            if (fd >= 0) (void)!::pwrite(fd, text.data(), text.size(), random() % 4000), ::close(fd);
            break;
          }
          case 2:
            (void)!::truncate(file.c_str(), random() % 3000);
            break;
          case 3:  // within its folder: the mount renames only there
            (void)!::rename(file.c_str(), (file.parent_path() / ("f" + std::to_string(random() % 8))).c_str());
            break;
          default:
            (void)!::unlink(file.c_str());
        }
        ++operations;
      }
    });
  }
  for (auto& writer : writers) writer.join();

  const auto onMount = filesBelow(mount.path());
  for (const auto& [path, bytes] : onMount) ASSERT_EQ(run({"sync", (mount.path() / path).string()}), 0) << path;
  const auto onShare = filesBelow(share());
  std::string differences;
  for (const auto& [path, bytes] : onShare) {
    auto here = onMount.find(path);
    if (here == onMount.end()) {
      differences += " " + path + " (only on the peer, " + std::to_string(bytes.size()) + " bytes)";
    } else if (here->second != bytes) {
      differences += " " + path + " (differs)";
    }
  }
  for (const auto& [path, bytes] : onMount) {
    if (!onShare.count(path)) differences += " " + path + " (only here)";
    if (path.find(" (conflict ") != std::string::npos) differences += " " + path + " (a conflict copy)";
  }
  std::string conflicts;  // what the mount said of each, for a failure
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(dir_.path(), ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->path().extension() != ".jsonl") continue;
    std::istringstream lines(readFile(it->path()));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("conflict") != std::string::npos) conflicts += line + "\n";
    }
  }
  EXPECT_EQ(differences, "") << conflicts;
  std::printf("one-writer stress: %llu operations by 4 writers, %zu files at the end\n",
              static_cast<unsigned long long>(operations.load()), onMount.size());
}

}  // namespace
}  // namespace corvane::testing

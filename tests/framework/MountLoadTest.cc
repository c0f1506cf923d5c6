// Load on the mount: eight clients look up, read, write (whole files and edits
// in place) and rename at once for CORVANE_LOAD_SECONDS (default 60); each read
// of a client's own file must give what it wrote, and at the end every file must
// hold that on the mount and on the share, which holds no other name. The run prints the
// operations done, the errors by errno and the resident memory of the mount and
// its host before and after.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

constexpr int kClients = 8;
constexpr int kFilesEach = 6;

std::string residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return " " + line.substr(line.find_first_not_of(" \t", 6));
  }
  return " ?";
}

pid_t hostPid(const std::filesystem::path& dir) {
  const auto file = dir / "status.json";
  if (run({"sh", "-c", std::string(CORVANE_FP) + " status --json > " + file.string()}) != 0) return 0;
  auto listed = nlohmann::json::parse(readFile(file), nullptr, false);
  return listed.is_array() && listed.size() == 1 ? listed[0].value("hostPid", 0) : 0;
}

// What one client owns: its files by slot, each under its current name with
// the contents of its last write that closed without an error.
struct Client {
  std::vector<std::string> names;
  std::vector<std::string> contents;
};

int writeWhole(const std::filesystem::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  const bool wrote = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int err = wrote ? 0 : errno;
  return ::close(fd) != 0 ? errno : err;
}

TEST_F(MountEndToEnd, EightClientsForAMinuteLoseNothing) {
  Mount mount(dir_.path(), "load", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const pid_t host = hostPid(dir_.path());
  const std::string before = "mount" + residentKiB(mount.pid()) + ", host" + residentKiB(host);
  const char* seconds = std::getenv("CORVANE_LOAD_SECONDS");
  const auto length = std::chrono::seconds(seconds ? std::atoi(seconds) : 60);

  std::vector<Client> clients(kClients);
  for (int c = 0; c < kClients; ++c) {
    for (int f = 0; f < kFilesEach; ++f) {
      clients[c].names.push_back("c" + std::to_string(c) + "-" + std::to_string(f));
      clients[c].contents.push_back("first " + clients[c].names.back());
      ASSERT_EQ(writeWhole(mount.path() / clients[c].names.back(), clients[c].contents.back()), 0);
    }
  }

  std::atomic<std::uint64_t> operations{0};
  std::mutex errorsMutex;
  std::map<std::string, int> errors;  // by errno text and operation
  const auto deadline = std::chrono::steady_clock::now() + length;
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 random(static_cast<unsigned>(c));
      Client& self = clients[c];
      auto failed = [&](const char* what, int err) {
        std::lock_guard guard(errorsMutex);
        ++errors[std::string(what) + ": " + std::strerror(err)];
      };
      for (std::uint64_t n = 0; std::chrono::steady_clock::now() < deadline; ++n, ++operations) {
        const int slot = static_cast<int>(random() % kFilesEach);
        const auto mine = mount.path() / self.names[slot];
        // Anyone's file may be looked up or read; only the owner writes or renames it.
        const auto other =
            mount.path() / ("c" + std::to_string(random() % kClients) + "-" + std::to_string(random() % kFilesEach));
        switch (random() % 4) {
          case 0: {
            struct stat st {};
            if (::stat(other.c_str(), &st) != 0 && errno != ENOENT) failed("stat", errno);  // mid-rename
            break;
          }
          case 1: {
            // Its own files hold still, so what it reads must be what it wrote.
            const bool own = random() % 2;
            const int fd = ::open((own ? mine : other).c_str(), O_RDONLY);
            if (fd < 0) {
              if (errno != ENOENT) failed("open", errno);
              break;
            }
            std::string read;
            char buffer[4096];
            while (true) {
              const ssize_t got = ::read(fd, buffer, sizeof buffer);
              if (got < 0) failed("read", errno);
              if (got <= 0) break;
              read.append(buffer, static_cast<std::size_t>(got));
            }
            ::close(fd);
            if (own && read != self.contents[slot]) failed("read back", EILSEQ);
            break;
          }
          case 2: {
            const std::string text = "client " + std::to_string(c) + " write " + std::to_string(n) + " " +
                                     std::string(random() % 20000, static_cast<char>('a' + random() % 26));
            if (random() % 2) {
              if (int err = writeWhole(mine, text)) {
                failed("write", err);
              } else {
                self.contents[slot] = text;
              }
              break;
            }
            // An edit in place: a write at some offset, past the end too, without O_TRUNC.
            const std::size_t at = random() % (self.contents[slot].size() + 100);
            const int fd = ::open(mine.c_str(), O_WRONLY);
            const bool wrote = fd >= 0 && ::pwrite(fd, text.data(), text.size(), static_cast<off_t>(at)) ==
                                              static_cast<ssize_t>(text.size());
            const int err = fd < 0 || !wrote ? errno : 0;
            if ((fd >= 0 && ::close(fd) != 0) || err) {
              failed("edit", err ? err : errno);
            } else {
              std::string& model = self.contents[slot];
              if (model.size() < at + text.size()) model.resize(at + text.size(), '\0');
              model.replace(at, text.size(), text);
            }
            break;
          }
          default: {
            const std::string renamed = self.names[slot].back() == 'r'
                                            ? self.names[slot].substr(0, self.names[slot].size() - 1)
                                            : self.names[slot] + "r";
            if (::rename(mine.c_str(), (mount.path() / renamed).c_str()) != 0) {
              failed("rename", errno);
            } else {
              self.names[slot] = renamed;
            }
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  hostPid(dir_.path());  // a fresh status file, for a failure to show what is queued
  for (const auto& client : clients) {
    for (int f = 0; f < kFilesEach; ++f) {
      const auto file = mount.path() / client.names[f];
      ASSERT_EQ(run({"sync", file.string()}), 0) << file << "\n"
                                                 << mount.log() << readFile(dir_.path() / "status.json");
      EXPECT_EQ(readFile(file), client.contents[f]) << file;
      EXPECT_EQ(readFile(share() / client.names[f]), client.contents[f]) << client.names[f];
    }
  }
  // Nothing more and nothing less than the clients' files (and the fixture's).
  std::set<std::string> expected = {"a.txt", "sub"}, found;
  for (const auto& client : clients) expected.insert(client.names.begin(), client.names.end());
  for (const auto& entry : std::filesystem::directory_iterator(share())) found.insert(entry.path().filename());
  EXPECT_EQ(found, expected);
  std::printf("load: %llu operations by %d clients in %lld s; resident before: %s; after: mount%s, host%s\n",
              static_cast<unsigned long long>(operations.load()), kClients, static_cast<long long>(length.count()),
              before.c_str(), residentKiB(mount.pid()).c_str(), residentKiB(host).c_str());
  for (const auto& [what, count] : errors) std::printf("load error: %s x%d\n", what.c_str(), count);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace corvane::testing

// The mount keeps every byte: the model-based exerciser on a local folder (the
// control) and on the mount, with remounts, kills and host restarts, and a table
// of edit sequences that once lost bytes, each checked on the mount and on the
// share, with the peer online and with its host paused.
//
// CORVANE_EXERCISER_SEEDS and CORVANE_EXERCISER_OPS make a longer soak.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "tests/framework/FileExerciser.h"
#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

int fromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::atoi(value) : fallback;
}

ExerciserRun runOf(int index) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kOperations = 400;  // every step is several times slower under ThreadSanitizer
#else
  constexpr int kOperations = 2500;
#endif
  return {static_cast<std::uint64_t>(1000 + index), fromEnvironment("CORVANE_EXERCISER_OPS", kOperations)};
}

int seeds() { return fromEnvironment("CORVANE_EXERCISER_SEEDS", 3); }

// A run that never disrupted the mount proves little of what a kill or a
// restart may lose.
void expectDisruptions(const std::map<std::string, std::uint64_t>& counts) {
  for (const char* kind : {"remount", "kill -9 the mount", "restart the host", "host away"}) {
    EXPECT_GT(counts.count(kind) ? counts.at(kind) : 0, 0u) << "no " << kind << " in the run";
  }
}

void report(const char* where, const std::map<std::string, std::uint64_t>& counts) {
  std::uint64_t total = 0;
  std::string line;
  for (const auto& [kind, count] : counts) {
    total += count;
    line += " " + kind + "=" + std::to_string(count);
  }
  std::printf("exerciser on %s: %llu operations:%s\n", where, static_cast<unsigned long long>(total), line.c_str());
}

void add(std::map<std::string, std::uint64_t>& into, const std::map<std::string, std::uint64_t>& counts) {
  for (const auto& [kind, count] : counts) into[kind] += count;
}

// The conflict copies below `folder`: with one writer there is never a reason for one.
std::string conflictCopiesBelow(const std::filesystem::path& folder) {
  std::string found;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->path().filename().string().find(" (conflict ") != std::string::npos) found += " " + it->path().string();
  }
  return found;
}

std::optional<std::string> bytesAt(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  return readFile(path);
}

TEST(FileExerciser, PassesOnALocalFolder) {
  TempDir dir;
  std::map<std::string, std::uint64_t> counts;
  for (int i = 0; i < seeds(); ++i) {
    const auto folder = dir.path() / std::to_string(i);
    std::filesystem::create_directories(folder);
    auto nothing = [] {};
    const ExerciserTarget target{folder,  [&](const std::string& name) { return bytesAt(folder / name); },
                                 nothing, nothing,
                                 nothing, {},
                                 {},      0,
                                 {},      {},
                                 {}};
    auto outcome = exercise(target, runOf(i));
    ASSERT_EQ(outcome.failure, "");
    add(counts, outcome.counts);
  }
  report("a local folder", counts);
}

class MountExerciser : public MountEndToEnd {
 protected:
  std::unique_ptr<ChildProcess> startHost() {
    std::vector<std::string> args{CORVANE_VFS_HOST, "--peer", "ex=" + share().string()};
    // The share as another machine's: the host reaches it over a stream, with
    // corvane-vfs-host --serve-stdio at the far end (through a stand-in for ssh).
    if (overStream_) {
      args = {CORVANE_VFS_HOST,   "--remote",      "ex=box:" + share().string(), "--ssh-command", CORVANE_FAKE_SSH,
              "--remote-program", CORVANE_VFS_HOST};
    }
    return std::make_unique<ChildProcess>(args, ChildOptions{.errorFile = dir_.path() / "host.log"});
  }
  std::unique_ptr<Mount> startMount() {
    auto mount = std::make_unique<Mount>(dir_.path(), "ex", std::vector<std::string>{"--no-host"});
    EXPECT_TRUE(mount->ready()) << mount->log();
    return mount;
  }
  // The link is up again once a folder can be made and removed on the peer.
  void awaitLink() {
    ASSERT_TRUE(eventually([&] {
      const auto probe = mount_->path() / "probe";
      return ::mkdir(probe.c_str(), 0755) == 0 && ::rmdir(probe.c_str()) == 0;
    })) << mount_->log();
  }

  // The exerciser's target: `folder` on the mount, with remounts, kills and
  // host restarts.
  ExerciserTarget targetIn(const std::string& folder);

  std::unique_ptr<ChildProcess> host_;
  std::unique_ptr<Mount> mount_;
  // CORVANE_EXERCISER_OVER_STREAM=1 runs every configuration over a stream.
  bool overStream_ = fromEnvironment("CORVANE_EXERCISER_OVER_STREAM", 0) != 0;
};

// One seed a test case, each on a mount of its own, so that each stays well
// inside the runner's time limit.
class MountExerciserSeed : public MountExerciser, public ::testing::WithParamInterface<int> {};

ExerciserTarget MountExerciser::targetIn(const std::string& folder) {
  return {mount_->path() / folder,
          [this, folder](const std::string& name) { return bytesAt(share() / folder / name); },
          [this] {
            mount_.reset();
            mount_ = startMount();
          },
          [this] {
            mount_->stop(SIGKILL);
            mount_.reset();  // before the next mount, whose folder it would unmount on its way out
            mount_ = startMount();
          },
          [this] {
            host_->stop(SIGKILL);
            host_ = startHost();
            awaitLink();
          },
          // The mount keeps names that are UTF-8, since the peer's side and every
          // record carry text, and no longer than a Linux folder's.
          [](const std::string& name) { return name.size() > 255 ? ENAMETOOLONG
                                               : isNotUtf8(name) ? EILSEQ
                                                                 : 0; },
          {},
          // The peer renames an item only inside its own folder; mv copies then.
          EXDEV,
          {},
          [this] {
            host_->stop(SIGKILL);
            host_.reset();
          },
          [this] {
            host_ = startHost();
            awaitLink();
          }};
}


TEST_P(MountExerciserSeed, RandomOperationsKeepEveryByteAcrossRemountsKillsAndHostRestarts) {
  host_ = startHost();
  mount_ = startMount();
  ASSERT_EQ(::mkdir((mount_->path() / "ex").c_str(), 0755), 0) << std::strerror(errno);
  const ExerciserTarget target = targetIn("ex");
  auto outcome = exercise(target, runOf(GetParam()));
  ASSERT_EQ(outcome.failure, "") << mount_->log();
  EXPECT_EQ(conflictCopiesBelow(share()), "") << "one writer, yet conflict copies";
  expectDisruptions(outcome.counts);
  report("the mount", outcome.counts);
  EXPECT_EQ(mount_->stop(), 0) << mount_->log();
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountExerciserSeed, ::testing::Range(0, seeds()));

// The same with the share on "another machine": every call and every byte
// crosses the share stream, and a host restart or a host away also ends the
// stream and its far side. CORVANE_EXERCISER_STREAM_SEEDS seeds (1 by default);
// CORVANE_EXERCISER_OVER_STREAM=1 puts the other configurations (the peer
// writing too, workers) over a stream as well.
class MountExerciserStreamSeed : public MountExerciser, public ::testing::WithParamInterface<int> {};

TEST_P(MountExerciserStreamSeed, RandomOperationsKeepEveryByteOverAShareStream) {
  overStream_ = true;
  host_ = startHost();
  mount_ = startMount();
  ASSERT_EQ(::mkdir((mount_->path() / "ex").c_str(), 0755), 0)
      << std::strerror(errno) << readFile(dir_.path() / "host.log");
  const ExerciserTarget target = targetIn("ex");
  auto outcome = exercise(target, runOf(GetParam()));
  ASSERT_EQ(outcome.failure, "") << mount_->log() << readFile(dir_.path() / "host.log");
  EXPECT_EQ(conflictCopiesBelow(share()), "") << "one writer, yet conflict copies";
  expectDisruptions(outcome.counts);
  report("the mount, over a share stream", outcome.counts);
  EXPECT_EQ(mount_->stop(), 0) << mount_->log();
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountExerciserStreamSeed,
                         ::testing::Range(0, fromEnvironment("CORVANE_EXERCISER_STREAM_SEEDS", 1)));

// The same with a second writer: while the exerciser works on the mount, the
// peer's side writes, rewrites by rename and removes files of its own in the
// same folder, directly in the share. The mount's files must keep every byte,
// and once the peer stops, the mount must show exactly the peer's last
// version of each of its files. Names are the peer's own: what both sides do
// to one name is the conflict rules' (docs/write-semantics.md). A soak:
// CORVANE_EXERCISER_PEER_SEEDS seeds (none by default).
class MountExerciserPeerSeed : public MountExerciser, public ::testing::WithParamInterface<int> {};

TEST_P(MountExerciserPeerSeed, BothSidesKeepEveryByteWhileThePeerWritesToo) {
  if (fromEnvironment("CORVANE_EXERCISER_PEER_SEEDS", 0) == 0) GTEST_SKIP() << "a soak: set CORVANE_EXERCISER_PEER_SEEDS";
  // Made on the peer's side for even seeds, through the mount for odd ones:
  // either way the mount checks it for the peer's changes.
  if (GetParam() % 2 == 0) std::filesystem::create_directories(share() / "ex");
  host_ = startHost();
  mount_ = startMount();
  if (GetParam() % 2 == 1) {
    ASSERT_EQ(::mkdir((mount_->path() / "ex").c_str(), 0755), 0) << std::strerror(errno);
  }
  ExerciserTarget target = targetIn("ex");
  target.othersPrefix = "peer-";
  std::map<std::string, std::optional<std::string>> peerFiles;  // by name; absent: removed
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> peerOperations{0};
  std::thread peer([&] {
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    while (!stop) {
      const std::string name = "peer-" + std::to_string(random() % 4);
      const auto file = share() / "ex" / name;
      const std::string bytes(1 + random() % 30000, static_cast<char>('A' + random() % 26));
      switch (random() % 3) {
        case 0:
          writeFile(file, bytes);
          peerFiles[name] = bytes;
          break;
        case 1: {  // as editors save: a temporary file renamed into place
          const auto temporary = share() / "ex" / (name + ".tmp");  // the peer's own name too
          writeFile(temporary, bytes);
          std::filesystem::rename(temporary, file);
          peerFiles[name] = bytes;
          break;
        }
        default: {
          std::error_code ignored;
          std::filesystem::remove(file, ignored);
          peerFiles[name] = std::nullopt;
        }
      }
      ++peerOperations;
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
    }
  });
  auto outcome = exercise(target, runOf(GetParam()));
  stop = true;
  peer.join();
  ASSERT_EQ(outcome.failure, "") << mount_->log();
  for (const auto& [name, bytes] : peerFiles) {
    const auto file = mount_->path() / "ex" / name;
    EXPECT_TRUE(eventually([&] { return bytesAt(file) == bytes; }))
        << name << " shows " << (bytesAt(file) ? std::to_string(bytesAt(file)->size()) + " bytes" : "nothing")
        << ", the peer's last version " << (bytes ? std::to_string(bytes->size()) + " bytes" : "removed") << "\n"
        << eventsAbout(dir_.path(), name);
  }
  expectDisruptions(outcome.counts);
  report("the mount, with the peer writing", outcome.counts);
  std::printf("the peer: %llu operations\n", static_cast<unsigned long long>(peerOperations.load()));
  EXPECT_EQ(mount_->stop(), 0) << mount_->log();
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountExerciserPeerSeed,
                         ::testing::Range(0, std::max(1, fromEnvironment("CORVANE_EXERCISER_PEER_SEEDS", 0))));

// Programs at work in one folder at once, each on its own names: the mount's
// requests race in its tree, in the folder's listing and in the upload queue.
// Each worker is a process of its own, as programs are, with a seed of its
// own. No remounts, kills or host restarts: those need every worker's files
// closed. CORVANE_EXERCISER_WORKER_SEEDS runs (1 by default) of
// CORVANE_EXERCISER_WORKERS workers (3 by default).
class MountExerciserWorkersSeed : public MountExerciser, public ::testing::WithParamInterface<int> {};

TEST_P(MountExerciserWorkersSeed, WorkersAtOnceInOneFolderEachKeepEveryByte) {
  host_ = startHost();
  mount_ = startMount();
  ASSERT_EQ(::mkdir((mount_->path() / "ex").c_str(), 0755), 0) << std::strerror(errno);
  const int workers = fromEnvironment("CORVANE_EXERCISER_WORKERS", 3);
  std::vector<pid_t> children;
  for (int worker = 0; worker < workers; ++worker) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child > 0) {
      children.push_back(child);
      continue;
    }
    ExerciserTarget target = targetIn("ex");
    target.remount = target.crash = target.restartHost = target.stopHost = target.startHost = nullptr;
    target.ownPrefix = "w" + std::to_string(worker) + "-";
    ExerciserRun run = runOf(GetParam());
    run.seed = run.seed * 100 + static_cast<std::uint64_t>(worker);
    const auto outcome = exercise(target, run);
    report(("the mount, worker " + std::to_string(worker)).c_str(), outcome.counts);
    writeFile(dir_.path() / ("worker-" + std::to_string(worker)), outcome.failure);
    std::fflush(stdout);
    ::_exit(0);
  }
  for (std::size_t worker = 0; worker < children.size(); ++worker) {
    int status = 0;
    ASSERT_EQ(::waitpid(children[worker], &status, 0), children[worker]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << worker << " did not finish";
    EXPECT_EQ(readFile(dir_.path() / ("worker-" + std::to_string(worker))), "")
        << "worker " << worker << "\n" << mount_->log();
  }
  EXPECT_EQ(conflictCopiesBelow(share()), "") << "each name has one writer, yet conflict copies";
  EXPECT_EQ(mount_->stop(), 0) << mount_->log();
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountExerciserWorkersSeed,
                         ::testing::Range(0, fromEnvironment("CORVANE_EXERCISER_WORKER_SEEDS", 1)));

// Edit sequences that lost bytes once. Each works on its own file.
struct EditCase {
  const char* name;
  const char* before;  // on the share before the mount starts; null: made through the mount
  std::function<bool(const std::filesystem::path& file)> edit;
  const char* after;
};

bool put(const std::filesystem::path& file, const char* text, int flags) {
  const int fd = ::open(file.c_str(), flags, 0644);
  if (fd < 0) return false;
  const bool wrote = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  return ::close(fd) == 0 && wrote;
}

bool openClose(const std::filesystem::path& file, int flags) {
  const int fd = ::open(file.c_str(), flags);
  return fd >= 0 && ::close(fd) == 0;
}

const EditCase kEdits[] = {
    {"reopened read-write, closed, written at 0", nullptr,
     [](const std::filesystem::path& f) {
       return put(f, "abcdef\n", O_CREAT | O_WRONLY | O_TRUNC) && openClose(f, O_RDWR) && put(f, "Z", O_RDWR);
     },
     "Zbcdef\n"},
    {"reopened read-only, closed, written at 0", nullptr,
     [](const std::filesystem::path& f) {
       return put(f, "abcdef\n", O_CREAT | O_WRONLY | O_TRUNC) && openClose(f, O_RDONLY) && put(f, "Z", O_RDWR);
     },
     "Zbcdef\n"},
    {"the peer's file edited in place, two writes", "hello world\n",
     [](const std::filesystem::path& f) {
       const int fd = ::open(f.c_str(), O_RDWR);
       return fd >= 0 && ::write(fd, "A", 1) == 1 && ::write(fd, "B", 1) == 1 && ::close(fd) == 0;
     },
     "ABllo world\n"},
    {"a closed file edited twice through O_RDWR", nullptr,
     [](const std::filesystem::path& f) {
       return put(f, "0123456789", O_CREAT | O_WRONLY | O_TRUNC) && put(f, "a", O_RDWR) && put(f, "b", O_RDWR);
     },
     "b123456789"},
    {"a mapped write after the descriptor closed", nullptr,
     [](const std::filesystem::path& f) {
       if (!put(f, "0123456789", O_CREAT | O_WRONLY | O_TRUNC)) return false;
       const int fd = ::open(f.c_str(), O_RDWR);
       void* at = fd >= 0 ? ::mmap(nullptr, 10, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
       if (fd < 0 || at == MAP_FAILED || ::close(fd) != 0) return false;
       static_cast<char*>(at)[0] = 'X';
       return ::munmap(at, 10) == 0;
     },
     "X123456789"},
    {"a reader opened before another handle appends sees the append", "start\n",
     [](const std::filesystem::path& f) {
       const int reader = ::open(f.c_str(), O_RDONLY);
       char buffer[32] = {};
       const bool ok = reader >= 0 && ::pread(reader, buffer, sizeof buffer, 0) == 6 && put(f, "more\n", O_WRONLY | O_APPEND) &&
                       ::pread(reader, buffer, sizeof buffer, 0) == 11 && std::string(buffer, 11) == "start\nmore\n";
       if (reader >= 0) ::close(reader);
       return ok;
     },
     "start\nmore\n"},
    {"truncated by path, then written through a new handle", "abcdef\n",
     [](const std::filesystem::path& f) { return ::truncate(f.c_str(), 3) == 0 && put(f, "X", O_WRONLY | O_APPEND); },
     "abcX"},
};

TEST_F(MountExerciser, EditSequencesKeepTheirBytesOnlineAndWithTheHostPaused) {
  for (bool paused : {false, true}) {
    for (std::size_t i = 0; i < std::size(kEdits); ++i) {
      if (kEdits[i].before) writeFile(share() / ("e" + std::to_string(i) + (paused ? "p" : "")), kEdits[i].before);
    }
  }
  host_ = startHost();
  mount_ = startMount();
  for (bool paused : {false, true}) {
    // A paused host answers nothing: the files the edits start from are read while it runs.
    ASSERT_EQ(mount_->shell("cat e* > /dev/null", share()), 0);
    if (paused) ::kill(host_->pid(), SIGSTOP);
    for (std::size_t i = 0; i < std::size(kEdits); ++i) {
      const std::string name = "e" + std::to_string(i) + (paused ? "p" : "");
      EXPECT_TRUE(kEdits[i].edit(mount_->path() / name)) << kEdits[i].name << ": " << std::strerror(errno);
      EXPECT_EQ(readFile(mount_->path() / name), kEdits[i].after) << kEdits[i].name << (paused ? " (paused)" : "");
    }
    if (paused) ::kill(host_->pid(), SIGCONT);
    for (std::size_t i = 0; i < std::size(kEdits); ++i) {
      const std::string name = "e" + std::to_string(i) + (paused ? "p" : "");
      const int fd = ::open((mount_->path() / name).c_str(), O_RDONLY);
      EXPECT_EQ(::fsync(fd), 0) << kEdits[i].name;
      ::close(fd);
      EXPECT_EQ(readFile(share() / name), kEdits[i].after) << kEdits[i].name << (paused ? " (paused)" : "") << " on the share";
    }
  }
  EXPECT_EQ(mount_->stop(), 0) << mount_->log();
}

}  // namespace
}  // namespace corvane::testing

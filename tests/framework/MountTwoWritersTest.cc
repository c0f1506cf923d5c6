// Two writers on one share: the mount and someone working in the peer's folder
// directly. Each step changes a file on the peer and then does here what would
// have thrown that change away, and checks that both sides' last versions are
// on the peer afterwards. Their rules are in docs/write-semantics.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/framework/MountTestSupport.h"

namespace corvane::testing {
namespace {

// The files of `folder` (on the peer) whose names start with `stem` and hold
// a conflict mark, by their bytes.
std::vector<std::string> conflictCopies(const std::filesystem::path& folder, const std::string& stem) {
  std::vector<std::string> out;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(stem + " (conflict ", 0) == 0) out.push_back(readFile(entry.path()));
  }
  return out;
}

// Waits until the peer holds what was closed on `file`.
void settle(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd >= 0) ::fsync(fd), ::close(fd);
}

bool put(const std::filesystem::path& file, const std::string& text, int flags = O_WRONLY | O_CREAT | O_TRUNC) {
  const int fd = ::open(file.c_str(), flags, 0644);
  if (fd < 0) return false;
  const bool wrote = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && wrote;
}

std::string shown(const std::filesystem::path& file) {
  std::error_code ignored;
  return std::filesystem::exists(file, ignored) ? readFile(file) : "<missing>";
}

TEST_F(MountEndToEnd, ARenameOrDeleteNeverThrowsAwayWhatThePeerChanged) {
  writeFile(share() / "d" / "rs.txt", "original");
  writeFile(share() / "d" / "del.txt", "original");
  writeFile(share() / "d" / "ed.txt", "original");
  writeFile(share() / "d" / "e.txt", "opened version\n");
  Mount mount(dir_.path(), "tw2", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const auto d = mount.path() / "d";
  ASSERT_EQ(shown(d / "rs.txt"), "original");  // the folder is listed here

  // A stored file renamed over a file the peer changed: the rename takes the
  // name, the peer's change is kept beside it.
  ASSERT_TRUE(put(d / "saved.txt", "local"));
  settle(d / "saved.txt");
  writeFile(share() / "d" / "rs.txt", "PEER-EDIT");
  ASSERT_EQ(::rename((d / "saved.txt").c_str(), (d / "rs.txt").c_str()), 0) << std::strerror(errno);
  // Deleted here after the peer changed it: the edit wins.
  writeFile(share() / "d" / "del.txt", "PEER-NEW");
  ASSERT_EQ(::unlink((d / "del.txt").c_str()), 0) << std::strerror(errno);

  // An editor's save (a temporary name, then a rename onto the file) after
  // the peer changed it: both changed the file, so both are kept.
  writeFile(share() / "d" / "ed.txt", "PEER-EDIT");
  ASSERT_TRUE(put(d / ".ed.tmp", "saved here"));
  ASSERT_EQ(::rename((d / ".ed.tmp").c_str(), (d / "ed.txt").c_str()), 0) << std::strerror(errno);
  settle(d / "ed.txt");

  // A handle opened before the peer's change writes on the version it
  // opened; the peer's new file keeps its name.
  const int fd = ::open((d / "e.txt").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  writeFile(share() / "d" / ".e.new", "renamed-in\n");
  std::filesystem::rename(share() / "d" / ".e.new", share() / "d" / "e.txt");
  ASSERT_TRUE(eventually([&] { return shown(d / "e.txt") == "renamed-in\n"; })) << "the mount hears of it";
  ASSERT_EQ(::pwrite(fd, "MOUNT-E\n", 8, 0), 8);
  ASSERT_EQ(::close(fd), 0);
  settle(d / "e.txt");
  EXPECT_EQ(shown(share() / "d" / "e.txt"), "renamed-in\n");
  EXPECT_EQ(conflictCopies(share() / "d", "e"), std::vector<std::string>{"MOUNT-E\nersion\n"});

  EXPECT_EQ(shown(share() / "d" / "ed.txt"), "PEER-EDIT");
  EXPECT_EQ(conflictCopies(share() / "d", "ed"), std::vector<std::string>{"saved here"});
  EXPECT_EQ(shown(share() / "d" / "rs.txt"), "local");
  EXPECT_EQ(conflictCopies(share() / "d", "rs"), std::vector<std::string>{"PEER-EDIT"});
  EXPECT_EQ(shown(share() / "d" / "del.txt"), "PEER-NEW");
  EXPECT_TRUE(eventually([&] { return shown(d / "del.txt") == "PEER-NEW"; })) << "and comes back here";
}

// A folder made here hears of the peer's changes like one the peer made, and
// a new file here meets a file the peer made under the same name meanwhile.
TEST_F(MountEndToEnd, AFolderMadeHereHearsThePeerAndNeitherNewFileIsLost) {
  Mount mount(dir_.path(), "tw1", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const auto made = mount.path() / "newdir";
  ASSERT_EQ(::mkdir(made.c_str(), 0755), 0) << std::strerror(errno);
  ASSERT_TRUE(put(made / "m.txt", "m"));
  settle(made / "m.txt");
  writeFile(share() / "newdir" / "p.txt", "peer");
  writeFile(share() / "newdir" / "m.txt", "peer-edit");
  EXPECT_TRUE(eventually([&] { return shown(made / "p.txt") == "peer" && shown(made / "m.txt") == "peer-edit"; }))
      << shown(made / "p.txt") << " " << shown(made / "m.txt");

  // Both made the same name: the peer's keeps it, this one is a conflict copy.
  writeFile(share() / "newdir" / "same.txt", "PEER");
  ASSERT_TRUE(put(made / "same.txt", "MOUNT", O_WRONLY | O_CREAT | O_EXCL));
  settle(made / "same.txt");
  EXPECT_EQ(shown(share() / "newdir" / "same.txt"), "PEER");
  EXPECT_EQ(conflictCopies(share() / "newdir", "same"), std::vector<std::string>{"MOUNT"});

  // A name looked for in vain, then made on the peer while the folder is
  // listed anew (after a rename, by the next listing of it): the miss the
  // kernel remembers must not hide it.
  ASSERT_NE(::access((made / "later.txt").c_str(), F_OK), 0);
  const auto renamed = mount.path() / "renamed";
  ASSERT_EQ(::rename(made.c_str(), renamed.c_str()), 0) << std::strerror(errno);
  writeFile(share() / "renamed" / "later.txt", "later");
  for (const auto& entry : std::filesystem::directory_iterator(renamed)) (void)entry;
  EXPECT_EQ(shown(renamed / "later.txt"), "later");
}

}  // namespace
}  // namespace corvane::testing

// Two writers on one share: the mount and someone working in the peer's folder
// directly. Each row changes a file on the peer and then does what would have
// thrown that change away, and checks that both sides' last versions are on
// the peer afterwards. Their rules are in docs/write-semantics.md.
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

TEST_F(MountEndToEnd, AFolderMadeHereHearsOfThePeersChanges) {
  Mount mount(dir_.path(), "tw1", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  ASSERT_EQ(::mkdir((mount.path() / "newdir").c_str(), 0755), 0) << std::strerror(errno);
  ASSERT_TRUE(put(mount.path() / "newdir" / "m.txt", "m"));
  settle(mount.path() / "newdir" / "m.txt");
  ASSERT_EQ(shown(mount.path() / "newdir" / "m.txt"), "m");

  writeFile(share() / "newdir" / "p.txt", "peer");
  writeFile(share() / "newdir" / "m.txt", "peer-edit");
  EXPECT_TRUE(eventually([&] { return shown(mount.path() / "newdir" / "p.txt") == "peer"; })) << mount.log();
  EXPECT_TRUE(eventually([&] { return shown(mount.path() / "newdir" / "m.txt") == "peer-edit"; })) << mount.log();
  ASSERT_EQ(::unlink((mount.path() / "newdir" / "m.txt").c_str()), 0);
  EXPECT_EQ(shown(share() / "newdir" / "m.txt"), "<missing>") << "the version seen here is the one removed";
}

TEST_F(MountEndToEnd, NothingThePeerChangedIsReplacedOrRemovedUnseen) {
  writeFile(share() / "d" / "rs.txt", "original");
  writeFile(share() / "d" / "del.txt", "original");
  writeFile(share() / "d" / "e.txt", "0123456789\n");
  Mount mount(dir_.path(), "tw2", {"--share", share().string()});
  ASSERT_TRUE(mount.ready()) << mount.log();
  const auto d = mount.path() / "d";
  ASSERT_EQ(shown(d / "rs.txt"), "original");  // the folder is listed here

  // Both made the same name: both kept, the peer's under it.
  writeFile(share() / "d" / "same.txt", "PEER");
  ASSERT_TRUE(put(d / "same.txt", "MOUNT"));
  settle(d / "same.txt");
  // Saved by temporary file and rename over a file the peer changed: the save
  // takes the name, the peer's change is kept beside it.
  writeFile(share() / "d" / "rs.txt", "PEER-EDIT");
  ASSERT_TRUE(put(d / ".rs.tmp", "local"));
  ASSERT_EQ(::rename((d / ".rs.tmp").c_str(), (d / "rs.txt").c_str()), 0) << std::strerror(errno);
  settle(d / "rs.txt");
  // Deleted here after the peer changed it: the edit wins.
  writeFile(share() / "d" / "del.txt", "PEER-NEW");
  ASSERT_EQ(::unlink((d / "del.txt").c_str()), 0) << std::strerror(errno);

  EXPECT_EQ(shown(share() / "d" / "same.txt"), "PEER");
  EXPECT_EQ(conflictCopies(share() / "d", "same"), std::vector<std::string>{"MOUNT"});
  EXPECT_EQ(shown(share() / "d" / "rs.txt"), "local");
  EXPECT_EQ(conflictCopies(share() / "d", "rs"), std::vector<std::string>{"PEER-EDIT"});
  EXPECT_EQ(shown(share() / "d" / "del.txt"), "PEER-NEW");
  EXPECT_TRUE(eventually([&] { return shown(d / "del.txt") == "PEER-NEW"; })) << "and comes back here";

  // A handle keeps the version it opened: its write meets the peer's newer
  // version as a conflict, never a mix of the two.
  const int fd = ::open((d / "e.txt").c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  writeFile(share() / "d" / ".e.new", "renamed-in\n");
  std::filesystem::rename(share() / "d" / ".e.new", share() / "d" / "e.txt");
  ASSERT_TRUE(eventually([&] { return shown(d / "e.txt") == "renamed-in\n"; })) << mount.log();
  ASSERT_EQ(::pwrite(fd, "MOUNT-E\n", 8, 0), 8);
  ASSERT_EQ(::fsync(fd), 0) << std::strerror(errno);
  ::close(fd);
  EXPECT_EQ(shown(share() / "d" / "e.txt"), "renamed-in\n");
  EXPECT_EQ(conflictCopies(share() / "d", "e"), std::vector<std::string>{"MOUNT-E\n89\n"});
}

}  // namespace
}  // namespace corvane::testing

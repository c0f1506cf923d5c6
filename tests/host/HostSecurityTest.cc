#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "tests/host/HostTestSupport.h"

namespace corvane::host::testing {
namespace {

using corvane::testing::readFile;
using corvane::testing::writeFile;

// Every file under `folder` with its contents (symlinks by their text).
std::map<std::string, std::string> contentsOf(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    std::string key = fs::relative(item.path(), folder).string();
    if (item.is_symlink()) {
      out[key] = "-> " + fs::read_symlink(item.path()).string();
    } else if (item.is_regular_file()) {
      out[key] = readFile(item.path());
    } else {
      out[key] = "<dir>";
    }
  }
  return out;
}

// Runs every case with openat2 (where the kernel has it) and with the
// component walk, which must refuse exactly the same paths.
class HostSecurityTest : public HostFixture, public ::testing::WithParamInterface<ShareResolution> {
 protected:
  void SetUp() override {
    writeFile(outside() / "secret.txt", "top secret");
    writeFile(share() / "Docs/inner.txt", "inner");
    fs::create_symlink("/etc", share() / "etcLink");
    fs::create_symlink("../outside", share() / "up");
    fs::create_symlink("../outside/secret.txt", share() / "fileLink");
    fs::create_symlink("Docs", share() / "inLink");
    HostVfsServiceOptions o = options();
    o.resolution = GetParam();
    service_ = open(o);
    ASSERT_NE(service_, nullptr);
  }

  std::unique_ptr<HostVfsService> service_;
};

TEST_P(HostSecurityTest, HostilePathsAreRefusedAndNothingOutsideIsTouched) {
  HostVfsService& s = *service_;
  const std::string nul("/a\0b", 4);
  const fs::path staged = stage("payload");
  struct Case {
    const char* what;
    std::function<foundation::Status()> call;
  };
  // Each read as a status: its error, or success.
  auto asStatus = [](const auto& result) {
    return result.ok() ? foundation::Status(foundation::Ok{}) : foundation::Status(result.error());
  };
  auto stat = [&](std::string p) { return [&s, asStatus, p] { return asStatus(s.statItem(p)); }; };
  auto list = [&](std::string p) { return [&s, asStatus, p] { return asStatus(s.listDirectory(p)); }; };
  auto fetch = [&](std::string p) { return [&s, asStatus, p] { return asStatus(s.fetchFileContents(p)); }; };
  auto changes = [&](std::string p) { return [&s, asStatus, p] { return asStatus(s.readChanges(p, 0)); }; };
  const Case kCases[] = {
      {"stat /../x", stat("/../x")},
      {"stat /a/../../x", stat("/a/../../x")},
      {"stat NUL", stat(nul)},
      {"stat relative", stat("Docs/inner.txt")},
      {"stat through /etc link", stat("/etcLink/passwd")},
      {"stat through escaping link", stat("/up/secret.txt")},
      {"list /etc link", list("/etcLink")},
      {"list /etc link with slash", list("/etcLink/")},
      {"list escaping link", list("/up")},
      {"list /..", list("/..")},
      {"fetch through /etc link", fetch("/etcLink/passwd")},
      {"fetch through escaping link", fetch("/up/secret.txt")},
      {"fetch /../outside", fetch("/../outside/secret.txt")},
      {"fetch NUL", fetch(nul)},
      {"upload through /etc link", [&] { return s.uploadFile(staged, "/etcLink/corvane-x"); }},
      {"upload through escaping link", [&] { return s.uploadFile(staged, "/up/new.txt"); }},
      {"upload to /../outside", [&] { return s.uploadFile(staged, "/../outside/new.txt"); }},
      {"upload NUL", [&] { return s.uploadFile(staged, nul); }},
      {"mkdir through /etc link", [&] { return s.createDirectory("/etcLink/corvane-d"); }},
      {"mkdir through escaping link", [&] { return s.createDirectory("/up/d"); }},
      {"mkdir /a/../../x", [&] { return s.createDirectory("/a/../../x"); }},
      {"delete through escaping link", [&] { return s.deleteItem("/up/secret.txt", false); }},
      {"delete through /etc link", [&] { return s.deleteItem("/etcLink/hostname", false); }},
      {"delete /..", [&] { return s.deleteItem("/..", true); }},
      {"rename to /../outside", [&] { return s.renameItem("/Docs/inner.txt", "/../outside/x"); }},
      {"rename into escaping link", [&] { return s.renameItem("/Docs/inner.txt", "/up/x"); }},
      {"rename into /etc link", [&] { return s.renameItem("/Docs/inner.txt", "/etcLink/x"); }},
      {"rename out of escaping link", [&] { return s.renameItem("/up/secret.txt", "/stolen"); }},
      {"rename with a slash in the new name", [&] { return s.renameItem("/Docs/inner.txt", "/Docs/x/../y"); }},
      {"rename onto the root", [&] { return s.renameItem("/Docs/inner.txt", "/"); }},
      {"rename from relative", [&] { return s.renameItem("Docs/inner.txt", "/y"); }},
      {"changes of /../x", changes("/../x")},
  };
  const auto outsideBefore = contentsOf(outside());
  const auto shareBefore = contentsOf(share());
  for (const Case& c : kCases) {
    foundation::Status status = c.call();
    ASSERT_FALSE(status.ok()) << c.what;
    EXPECT_EQ(status.error().code(), static_cast<std::int64_t>(VfsErrorCode::invalidArgument))
        << c.what << ": " << status.error().localizedDescription();
  }
  EXPECT_EQ(contentsOf(outside()), outsideBefore);
  EXPECT_EQ(contentsOf(share()), shareBefore);
  EXPECT_FALSE(fs::exists("/etc/corvane-x"));
  EXPECT_FALSE(fs::exists("/etc/corvane-d"));
  // No fetched copy of anything was made.
  EXPECT_TRUE(fs::is_empty(cacheFolder()));
}

TEST_P(HostSecurityTest, SymlinksAreFilesOfTheirOwnAndNeverFollowedForWrites) {
  HostVfsService& s = *service_;
  auto copy = s.fetchFileContents("/etcLink");
  ASSERT_TRUE(copy.ok());
  EXPECT_EQ(readFile(*copy), "/etc") << "a link's contents are its own text";

  ASSERT_TRUE(s.uploadFile(stage("replaced"), "/fileLink").ok());
  EXPECT_EQ(readFile(outside() / "secret.txt"), "top secret");
  EXPECT_FALSE(fs::is_symlink(share() / "fileLink"));
  EXPECT_EQ(readFile(share() / "fileLink"), "replaced");

  ASSERT_TRUE(s.deleteItem("/up", false).ok());
  EXPECT_TRUE(fs::exists(outside() / "secret.txt"));
  expectVfsError(s.deleteItem("/etcLink", true), VfsErrorCode::invalidArgument);
  EXPECT_TRUE(fs::is_directory("/etc"));

  // A link that stays inside may lead to a folder, as the platform's calls allow.
  auto inner = s.statItem("/inLink/inner.txt");
  ASSERT_TRUE(inner.ok() && inner->has_value());
  EXPECT_EQ((*inner)->size, 5u);
}

std::string resolutionName(const ::testing::TestParamInfo<ShareResolution>& param) {
  return param.param == ShareResolution::automatic ? "Automatic" : "ComponentWalk";
}

INSTANTIATE_TEST_SUITE_P(Resolutions, HostSecurityTest,
                         ::testing::Values(ShareResolution::automatic, ShareResolution::componentWalk), resolutionName);

}  // namespace
}  // namespace corvane::host::testing

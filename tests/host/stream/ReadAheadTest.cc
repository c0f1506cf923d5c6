// The small files fetched ahead: planned from the last listing, used once, and
// dropped with their files whenever an answer on its way to the extension
// shows the file otherwise than the copy's own stat did.
#include "host/stream/ReadAhead.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace corvane::host {
namespace {

using corvane::testing::TempDir;
using corvane::testing::writeFile;

std::shared_ptr<const VfsFileEntryDto> file(const std::string& name, std::uint64_t size, std::uint64_t ms = 1) {
  return std::make_shared<VfsFileEntryDto>(name, false, size, ms);
}

std::vector<std::string> paths(const std::vector<ReadAhead::Planned>& planned) {
  std::vector<std::string> out;
  for (const auto& p : planned) out.push_back(p.path);
  return out;
}

TEST(ReadAhead, PlansTheSmallFilesAfterOneAndHandsEachCopyOutOnceWhileItsFileIsUnchanged) {
  TempDir dir;
  ReadAhead ahead;
  ahead.listed("/d", std::vector<std::shared_ptr<const VfsFileEntryDto>>{
                         file("c", 1), file("a", 1), file("b", 1), file("big", ReadAhead::kLargestFile + 1),
                         std::make_shared<VfsFileEntryDto>("sub", true, 0, 1), file("e", 1)});
  const auto planned = ahead.after("/d/a");
  ASSERT_EQ(paths(planned), (std::vector<std::string>{"/d/b", "/d/c", "/d/e"}));
  EXPECT_TRUE(ahead.after("/d/a").empty()) << "under way already";
  EXPECT_FALSE(ahead.take("/d/b")) << "not fetched yet";

  auto copy = [&](const std::string& name) {
    writeFile(dir.path() / name, name);
    return dir.path() / name;
  };
  ahead.fetched(planned[0], copy("b"), file("b", 1));
  ahead.fetched(planned[1], copy("c"), file("c", 1));
  ahead.statted("/d/e", file("e", 1));  // an answer passed on while its fetch ran
  ahead.fetched(planned[2], copy("e"), file("e", 1));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "e")) << "a fetch whose file was seen meanwhile is dropped";

  auto taken = ahead.take("/d/b");
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->copy, dir.path() / "b");
  EXPECT_FALSE(ahead.take("/d/b")) << "used once";

  struct Case {
    const char* what;
    std::function<void()> tell;
    bool kept;
  };
  const Case cases[] = {
      {"the same stat", [&] { ahead.statted("/d/c", file("c", 1)); }, true},
      {"another date", [&] { ahead.statted("/d/c", file("c", 1, 2)); }, false},
      {"this side's own write", [&] { ahead.forget("/d"); }, false},
      {"a listing without it", [&] { ahead.listed("/d", std::vector<std::shared_ptr<const VfsFileEntryDto>>{}); },
       false},  // last: it leaves nothing to plan
  };
  for (const Case& c : cases) {
    const auto again = ahead.after("/d/b");  // "/d/c" only when dropped before
    for (const auto& p : again) ahead.fetched(p, copy(p.path.substr(3)), file(p.path.substr(3), 1));
    c.tell();
    const bool kept = ahead.take("/d/c").has_value();
    EXPECT_EQ(kept, c.kept) << c.what;
    EXPECT_EQ(std::filesystem::exists(dir.path() / "c"), c.kept) << c.what;
    std::filesystem::remove(dir.path() / "c");
  }
}

}  // namespace
}  // namespace corvane::host

// What the bounded cache decides without a mount: which entries an eviction
// takes, how sizes are read, and how pins cover paths.
#include <gtest/gtest.h>

#include "framework/commands/Command.h"
#include "framework/mount/cache/CacheIndex.h"
#include "framework/mount/cache/PinSet.h"
#include "tests/support/TempDir.h"

namespace corvane::framework::mount {
namespace {

TEST(CacheIndex, EvictsOldestFirstUntilEnoughIsFreedSparingHeldAndKeptEntries) {
  CacheIndex index;
  index.put("old", {100, 1, "p::/old"});
  index.put("pinned", {100, 2, "p::/pinned"});
  index.put("open", {100, 3, "p::/open"});
  index.put("newer", {100, 4, "p::/newer"});
  index.put("newest", {100, 5, ""});     // its owner unknown: never kept
  index.put("old", {50, 1, "p::/old"});  // put again replaces, and the bytes follow
  EXPECT_EQ(index.bytes(), 450u);
  index.hold("open");
  const auto keep = [](const std::string& id) { return id == "p::/pinned" || id == "p::/newest"; };
  EXPECT_EQ(CacheIndex::victims(index.unheldOldestFirst(), 120, keep), (std::vector<std::string>{"old", "newer"}));
  EXPECT_EQ(CacheIndex::victims(index.unheldOldestFirst(), 1000, keep),
            (std::vector<std::string>{"old", "newer", "newest"}));
  EXPECT_TRUE(CacheIndex::victims(index.unheldOldestFirst(), 0, keep).empty());
  index.release("open");
  index.touch("open", 0);  // used before everything else now
  EXPECT_EQ(CacheIndex::victims(index.unheldOldestFirst(), 1, keep), std::vector<std::string>{"open"});
}

TEST(CacheSizes, ParseBinaryUnitsAndRefuseTheRest) {
  const std::pair<const char*, std::optional<std::uint64_t>> kCases[] = {
      {"0", 0},
      {"1048576", 1048576},
      {"512K", 512ull << 10},
      {"300M", 300ull << 20},
      {"2G", 2ull << 30},
      {"2GiB", 2ull << 30},
      {"2GB", 2ull << 30},
      {"1T", 1ull << 40},
      {"", {}},
      {"G", {}},
      {"2g", {}},
      {"2 G", {}},
      {"-1", {}},
      {"2GiBs", {}},
      {"B", {}},
      {"99999999999T", {}},
  };
  for (const auto& [text, want] : kCases) EXPECT_EQ(commands::parseSize(text), want) << text;
}

TEST(PinSet, AFolderCoversWhatIsBelowItAndTheFileRefusesBadPaths) {
  const std::vector<std::string> pins = {"/Docs", "/a.txt"};
  EXPECT_TRUE(PinSet::covers(pins, "/Docs"));
  EXPECT_TRUE(PinSet::covers(pins, "/Docs/x/y"));
  EXPECT_TRUE(PinSet::covers(pins, "/a.txt"));
  EXPECT_FALSE(PinSet::covers(pins, "/Docs2/x"));
  EXPECT_FALSE(PinSet::covers(pins, "/a.txt.bak"));
  EXPECT_TRUE(PinSet::covers({"/"}, "/anything"));

  testing::TempDir dir;
  const auto file = dir.path() / "pins.json";
  ASSERT_TRUE(PinSet::write(file, {"/b", "/a", "/b"}).ok());
  EXPECT_EQ(*PinSet::read(file), (std::vector<std::string>{"/a", "/b"}));
  for (const char* bad : {"relative", "/a/../b", "/a/", "/./a"}) EXPECT_FALSE(PinSet::write(file, {bad}).ok()) << bad;
  for (const char* text : {R"({"paths":["/../x"]})", R"({"paths":[1]})", R"({"paths":[],"more":1})", "[]", "{"}) {
    testing::writeFile(file, text);
    EXPECT_FALSE(PinSet::read(file).ok()) << text;
  }
  PinSet set(file);
  testing::writeFile(file, R"({"paths":["/Docs"]})");
  EXPECT_TRUE(set.pinned("peer::/Docs/a"));
  EXPECT_FALSE(set.pinned("peer::/Other"));
  std::filesystem::remove(file);
  EXPECT_FALSE(set.pinned("peer::/Docs/a"));
}

}  // namespace
}  // namespace corvane::framework::mount

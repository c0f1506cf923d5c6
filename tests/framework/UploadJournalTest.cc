// The pending-upload journal and the kept modification dates on disk, and the
// names conflict copies get.
#include "framework/mount/upload/UploadJournal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "framework/mount/tree/ModifiedTimes.h"
#include "framework/mount/upload/UploadQueue.h"
#include "tests/support/TempDir.h"

namespace corvane::framework::mount {
namespace {

using testing::readFile;
using testing::writeFile;

TEST(ConflictName, KeepsTheExtensionLastAndCountsFromTheSecondTry) {
  testing::ScopedEnv utc{"TZ", "UTC"};
  ::tzset();
  const std::time_t when = 1796558645;  // 2026-12-06 12.04.05 UTC
  const struct {
    const char* name;
    int attempt;
    const char* copy;
  } kCases[] = {
      {"report.txt", 1, "report (conflict 2026-12-06 12.04.05).txt"},
      {"report.txt", 3, "report (conflict 2026-12-06 12.04.05 3).txt"},
      {"archive.tar.gz", 1, "archive.tar (conflict 2026-12-06 12.04.05).gz"},
      {"Makefile", 1, "Makefile (conflict 2026-12-06 12.04.05)"},
      {".bashrc", 2, ".bashrc (conflict 2026-12-06 12.04.05 2)"},
  };
  for (const auto& c : kCases) EXPECT_EQ(conflictName(c.name, when, c.attempt), c.copy) << c.name;
}

class UploadJournalTest : public ::testing::Test {
 protected:
  std::filesystem::path pending() const { return dir_.path() / "state" / "corvane" / "d" / "pending"; }
  std::unique_ptr<UploadJournal> open() {
    auto journal = UploadJournal::open("d");
    EXPECT_TRUE(journal.ok());
    return journal.ok() ? std::move(*journal) : nullptr;
  }
  // Commits `contents` as a new file's upload; its record.
  PendingUpload commit(UploadJournal& journal, const std::string& contents, const std::string& path = "/f.txt") {
    auto work = journal.newWorkFile();
    EXPECT_TRUE(work.ok());
    EXPECT_EQ(::write(work->second.get(), contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    PendingUpload record;
    record.parentIdentifier = "peer::/";
    record.name = "f.txt";
    record.path = path;
    record.baseVersion = foundation::Data{0x01, 0xab};
    EXPECT_TRUE(journal.commit(record, work->second.get(), work->first).ok());
    return record;
  }
  std::vector<std::string> left() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(pending())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir_;
  testing::ScopedEnv state_{"XDG_STATE_HOME", (dir_.path() / "state").string()};
};

TEST_F(UploadJournalTest, ACommittedUploadIsFoundByTheNextRunAndLeftoversAreCleared) {
  auto first = open();
  const auto committed = commit(*first, "hello");
  ASSERT_EQ(committed.sequence, 1u);
  (void)first->newWorkFile();                           // never closed
  writeFile(pending() / "7.data", "no record");         // a crash between the two writes
  writeFile(pending() / "9.json", "{\"sequence\":9}");  // not a record
  struct stat st {};
  ASSERT_EQ(::stat(pending().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  first.reset();

  auto second = open();
  auto records = second->load();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "f.txt");
  EXPECT_EQ(records[0].size, 5u);
  EXPECT_EQ(records[0].baseVersion, (foundation::Data{0x01, 0xab}));
  EXPECT_EQ(readFile(second->dataPath(records[0])), "hello");
  // The working copy never closed and those made ahead went; durable.json: the
  // first journal made its commit durable on the way out.
  std::vector<std::string> kept{second->dataPath(records[0]).filename(), "9.json.bad", "durable.json"};
  if (records[0].dataName.empty()) kept.push_back("1.json");
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(left(), kept);
  // Numbers go on after what was found; a removed upload leaves nothing.
  EXPECT_EQ(commit(*second, "next").sequence, 2u);
  second->remove(records[0]);
  EXPECT_FALSE(std::filesystem::exists(second->dataPath(records[0])));
  EXPECT_FALSE(std::filesystem::exists(pending() / "1.json"));
}

TEST_F(UploadJournalTest, RecordsTooLongForAnAttributeAndAMoveCutShortLoadOnce) {
  auto journal = open();
  // Paths of thousands of bytes do not fit the attribute space of most file systems.
  const std::string deep = "/" + std::string(6000, 'd') + "/f.txt";
  auto longOne = commit(*journal, "long from the start", deep);
  auto grows = commit(*journal, "grows");
  grows.lastError = std::string(6000, 'e');
  ASSERT_TRUE(journal->rewrite(grows).ok());
  auto cut = commit(*journal, "cut short");
  if (!cut.dataName.empty()) {
    // A crash in the move to files of its own, after the record file was written.
    PendingUpload files = cut;
    files.dataName.clear();
    ASSERT_EQ(::link(journal->dataPath(cut).c_str(), journal->dataPath(files).c_str()), 0);
    writeFile(pending() / "3.json", UploadJournal::encode(files));
  }
  journal.reset();

  auto again = open();
  auto records = again->load();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].path, deep);
  EXPECT_EQ(readFile(again->dataPath(records[0])), "long from the start");
  EXPECT_EQ(records[1].lastError, grows.lastError);
  EXPECT_EQ(readFile(again->dataPath(records[1])), "grows");
  EXPECT_EQ(readFile(again->dataPath(records[2])), "cut short");
  EXPECT_TRUE(records[2].dataName.empty()) << "the record file is taken, the working copy's name goes";
  for (const auto& name : left()) EXPECT_FALSE(name.starts_with("work-")) << name;
}

TEST_F(UploadJournalTest, AKilledMountKeepsEveryCommitAndAPowerCutSetsAsideWhatWasNotFlushed) {
  std::filesystem::path cut;
  {
    auto journal = UploadJournal::open("d", "boot-1").value();
    ASSERT_EQ(commit(*journal, "flushed").sequence, 1u);
    journal->flush();
    const auto record = commit(*journal, "cut");
    ASSERT_EQ(record.sequence, 2u);
    cut = journal->dataPath(record);
  }
  // The state a power cut leaves when it comes before the second commit's flush.
  writeFile(pending() / "durable.json", "{\"through\":1}");
  EXPECT_EQ(UploadJournal::open("d", "boot-1").value()->load().size(), 2u) << "the same boot: both are whole";
  auto rebooted = UploadJournal::open("d", "boot-2").value();
  auto records = rebooted->load();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(readFile(rebooted->dataPath(records[0])), "flushed");
  EXPECT_EQ(readFile(cut.string() + ".unflushed"), "cut") << "kept for the user, not sent";
  if (cut.filename() == "2.data") {
    EXPECT_TRUE(std::filesystem::exists(pending() / "2.json.unflushed"));
  }
  EXPECT_EQ(commit(*rebooted, "next").sequence, 3u);
  EXPECT_EQ(UploadJournal::open("d", "boot-2").value()->load().size(), 2u) << "what was set aside stays aside";
}

TEST_F(UploadJournalTest, DatesHoldForTheirVersionAcrossRunsAndTheirFileStaysSmall) {
  const foundation::Data v1{1}, v2{2};
  {
    auto times = ModifiedTimes::open("d").value();
    times->keep("p::/a", v1, 1577934245.5);
    times->keep("p::/gone", v1, 7);
    times->forget("p::/gone");
    for (int i = 0; i < 3000; ++i) times->keep("p::/busy", v1, i);  // rewritten whole along the way
  }
  const auto file = pending().parent_path() / "times.log";
  {
    std::ofstream torn(file, std::ios::app);
    torn << "{\"id\":\"p::/a\",\"version\":\"02\",\"ti";  // cut short by a crash
  }
  ModifiedTimes::open("d").value()->keep("p::/after", v2, 3);
  auto times = ModifiedTimes::open("d").value();
  EXPECT_EQ(times->find("p::/after", v2), 3) << "a line after a torn one";
  EXPECT_EQ(times->find("p::/a", v1), 1577934245.5);
  EXPECT_EQ(times->find("p::/a", v2), std::nullopt) << "the peer's contents moved on";
  EXPECT_EQ(times->find("p::/gone", v1), std::nullopt);
  EXPECT_EQ(times->find("p::/busy", v1), 2999);
  std::ifstream in(file);
  EXPECT_LT(std::count(std::istreambuf_iterator<char>(in), {}, '\n'), 1100);
}

TEST(UploadJournalDecode, RefusesWhatEncodeCouldNotHaveWritten) {
  PendingUpload record;
  record.sequence = 4;
  record.identifier = "peer::/a/f.txt";
  record.parentIdentifier = "peer::/a";
  record.name = "f.txt";
  record.path = "/a/f.txt";
  record.baseVersion = foundation::Data{0xff};
  const auto good = nlohmann::json::parse(UploadJournal::encode(record));
  auto back = UploadJournal::decode(good.dump());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->identifier, record.identifier);
  EXPECT_EQ(back->baseVersion, record.baseVersion);

  const std::pair<const char*, nlohmann::json> kBad[] = {
      {"sequence", 0},      {"sequence", -1},    {"sequence", "4"},       {"name", "a/b"},  {"name", ".."},
      {"name", ""},         {"parent", ""},      {"size", 1.5},           {"failed", "no"}, {"baseVersion", "0g"},
      {"baseVersion", "f"}, {"baseVersion", 12}, {"attempts", 1LL << 40}, {"boot", 1},
  };
  for (const auto& [key, value] : kBad) {
    auto bad = good;
    bad[key] = value;
    EXPECT_FALSE(UploadJournal::decode(bad.dump())) << key << "=" << value.dump();
  }
  for (const char* text : {"", "[]", "{", "null", "{\"sequence\":4}"}) EXPECT_FALSE(UploadJournal::decode(text));
  auto extra = good;
  extra.erase("boot");
  EXPECT_TRUE(UploadJournal::decode(extra.dump())) << "a record from before boots were kept";
  extra["extra"] = true;
  EXPECT_FALSE(UploadJournal::decode(extra.dump()));
}

}  // namespace
}  // namespace corvane::framework::mount

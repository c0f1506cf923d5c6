// The event log's bytes: whole lines compared with the timestamp normalised.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/Error.h"
#include "shared/diagnostics/CorvaneFpLog.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"

namespace corvane::testing {
namespace {

const std::string kTail = R"(,"target":"FileProvider","src":"CorvaneFpLogTest.cc:)";
const std::string kVersion = R"(","version":")" CORVANE_TEST_VERSION R"("})";

std::string tail(int line) { return kTail + std::to_string(line) + kVersion; }

using CorvaneFpLogFile = EventLogTest;

TEST_F(CorvaneFpLogFile, FirstEventOfTheProcessFollowsTheBootRecord) {
  const int first = __LINE__ + 1;  // the call below
  CorvaneFpLog::emit({.event = "mount.xpc_connect"});
  EXPECT_EQ(
      lines(),
      (std::vector<std::string>{
          bootLine(),
          R"({"ts":"TS","level":"INFO","host":"mac-fp","event":"mount.xpc_connect","domain":"mount","operation":"mount.xpc_connect")" +
              tail(first),
      }));

  const int second = __LINE__ + 1;  // the call below
  CorvaneFpLog::emit({.event = "mount.xpc_up", .peer = "p1"});
  const std::vector<std::string> after = lines();
  ASSERT_EQ(after.size(), 3u) << "later events add one line each";
  EXPECT_EQ(
      after[2],
      R"({"ts":"TS","level":"INFO","host":"mac-fp","event":"mount.xpc_up","domain":"mount","peer":"p1","operation":"mount.xpc_up")" +
          tail(second));
}

TEST_F(CorvaneFpLogFile, OrdinaryEventCarriesEveryOptionalFieldInSchemaOrder) {
  const int line = __LINE__ + 1;  // the call below
  CorvaneFpLog::emit({.event = "mount.request_fail",
                      .level = "ERROR",
                      .peer = "p1",
                      .operation = "file_provider.modify",
                      .detail = "rename",
                      .reason = "host said no",
                      .errorCode = "not_found",
                      .retryable = false,
                      .elapsedMs = 17,
                      .epoch = std::numeric_limits<std::uint64_t>::max(),
                      .generation = 0,
                      .flowId = "0f1e2d3c-0000-4000-8000-000000000001"});
  const std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1],
            R"({"ts":"TS","level":"ERROR","host":"mac-fp","event":"mount.request_fail","domain":"mount",)"
            R"("peer":"p1","operation":"file_provider.modify","detail":"rename",)"
            R"("epoch":18446744073709551615,"generation":0,"flow_id":"0f1e2d3c-0000-4000-8000-000000000001",)"
            R"("error_code":"not_found","retryable":false,"elapsed_ms":17,"reason":"host said no")" +
                tail(line));
}

// One record per case, each compared whole after the boot record.
TEST_F(CorvaneFpLogFile, RecordsFollowTheFieldRules) {
  struct Case {
    const char* name;
    CorvaneFpLog::Event event;
    std::string expectedFields;  // between "host" and "target"
  };
  const std::string nonAscii = "\xe6\x96\x87\xe4\xbb\xb6 caf\xc3\xa9 \xf0\x9f\x93\x81";  // 文件 café 📁
  const Case kCases[] = {
      {"defaults",
       {.event = "mount.list_dir"},
       R"("event":"mount.list_dir","domain":"mount","operation":"mount.list_dir")"},
      {"empty texts left out",
       {.event = "e", .peer = "", .detail = "", .reason = "", .errorCode = "", .flowId = ""},
       R"("event":"e","domain":"mount","operation":"e")"},
      {"empty operation left out", {.event = "e", .operation = ""}, R"("event":"e","domain":"mount")"},
      {"retryable true",
       {.event = "e", .retryable = true},
       R"("event":"e","domain":"mount","operation":"e","retryable":true)"},
      {"zero integers kept",
       {.event = "e", .elapsedMs = 0, .epoch = 0},
       R"("event":"e","domain":"mount","operation":"e","epoch":0,"elapsed_ms":0)"},
      {"level and domain given",
       {.event = "e", .level = "WARN", .domain = "boot"},
       R"("event":"e","domain":"boot","operation":"e")"},
      {"quote, line feed, solidus, reverse solidus, controls",
       {.event = "e", .detail = "say \"hi\"\nto /a\\b\t\r\b\f\x01\x1f\x7f"},
       R"("event":"e","domain":"mount","operation":"e","detail":"say \"hi\"\nto \/a\\b\t\r\b\f\u0001\u001f)"
       "\x7f"
       R"(")"},
      {"non-ASCII as raw UTF-8",
       {.event = "e", .peer = nonAscii},
       R"("event":"e","domain":"mount","peer":")" + nonAscii + R"(","operation":"e")"},
      {"invalid UTF-8 value left out",
       {.event = "e", .detail = "bad \xff byte", .reason = "kept"},
       R"("event":"e","domain":"mount","operation":"e","reason":"kept")"},
      {"truncated UTF-8 left out",
       {.event = "e", .detail = "\xe6\x96"},
       R"("event":"e","domain":"mount","operation":"e")"},
      {"surrogate left out",
       {.event = "e", .detail = "\xed\xa0\x80"},
       R"("event":"e","domain":"mount","operation":"e")"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = std::filesystem::exists(logFile()) ? lines().size() : 0;
    const auto here = std::source_location::current();
    CorvaneFpLog::emit(c.event, here);
    const std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), before + (before == 0 ? 2 : 1));
    const std::string level = std::string(c.event.level);
    EXPECT_EQ(written.back(), R"({"ts":"TS","level":")" + level + R"(","host":"mac-fp",)" + c.expectedFields +
                                  tail(static_cast<int>(here.line())));
  }
}

TEST_F(CorvaneFpLogFile, ExistingFileIsAppendedTo) {
  writeFile(logFile(), "{\"earlier\":1}\n");
  CorvaneFpLog::emit({.event = "e"});
  const std::vector<std::string> written = lines();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], R"({"earlier":1})");
  EXPECT_EQ(written[1], bootLine());
}

TEST_F(CorvaneFpLogFile, DeletedLogsFolderIsRecreatedWithTheNextRecord) {
  CorvaneFpLog::emit({.event = "first"});
  ASSERT_EQ(lines().size(), 2u);
  std::filesystem::remove_all(logsFolder());

  const int line = __LINE__ + 1;  // the call below
  CorvaneFpLog::emit({.event = "second"});
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                R"({"ts":"TS","level":"INFO","host":"mac-fp","event":"second","domain":"mount","operation":"second")" +
                tail(line)}));
  CorvaneFpLog::emit({.event = "third"});
  EXPECT_EQ(lines().size(), 2u);
  EXPECT_TRUE(systemLog_->entries().empty());
}

TEST_F(CorvaneFpLogFile, EachRecordGoesWhereTheAppGroupContainerIsThen) {
  CorvaneFpLog::emit({.event = "first"});
  CorvaneFpLog::drain();
  TempDir moved;
  {
    ScopedEnv elsewhere("CORVANE_APP_GROUPS", moved.path().string());
    CorvaneFpLog::emit({.event = "second"});
    CorvaneFpLog::drain();
  }
  CorvaneFpLog::emit({.event = "third"});

  EXPECT_EQ(lines().size(), 3u) << "boot, first and third";
  const auto movedFile = moved.path() / "group.com.driftpin.corvane" / "Logs" / "corvane-fileprovider.jsonl";
  const std::string elsewhere = readFile(movedFile);
  EXPECT_NE(elsewhere.find(R"("event":"second")"), std::string::npos) << elsewhere;
}

TEST_F(CorvaneFpLogFile, WithoutAppGroupContainerNothingIsWrittenAndTheSystemLogSaysWhy) {
  ScopedEnv noGroups("CORVANE_APP_GROUPS", std::nullopt);
  ScopedEnv noData("XDG_DATA_HOME", std::nullopt);
  ScopedEnv noHome("HOME", std::nullopt);
  ASSERT_EQ(CorvaneFpLog::logsDirectory(), std::nullopt);

  CorvaneFpLog::emit({.event = "first"});
  CorvaneFpLog::emit({.event = "second"});
  CorvaneFpLog::drain();

  const oslog::CapturingSink::Entry unavailable{oslog::Type::Error, "[FPLog] App Group log directory unavailable"};
  EXPECT_EQ(systemLog_->entries(), (std::vector<oslog::CapturingSink::Entry>(3, unavailable)))
      << "boot record and both events are dropped";
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(CorvaneFpLogFile, WriteFailuresGoToTheSystemLogAndDropTheLine) {
  struct Case {
    const char* name;
    void (*damage)(const std::filesystem::path& logs);
    const char* expected;
  };
  const Case kCases[] = {
      {"Logs is a file", [](const std::filesystem::path& logs) { writeFile(logs, "not a folder"); },
       "[FPLog] write failed: The operation couldn\xe2\x80\x99t be completed. (NSCocoaErrorDomain error 4.)"},
      {"log file is a folder",
       [](const std::filesystem::path& logs) {
         std::filesystem::create_directories(logs / "corvane-fileprovider.jsonl");
       },
       "[FPLog] write failed: The operation couldn\xe2\x80\x99t be completed. (NSCocoaErrorDomain error 512.)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(logsFolder());
    std::filesystem::create_directories(logsFolder().parent_path());
    c.damage(logsFolder());
    systemLog_->clear();
    CorvaneFpLog::emit({.event = "e"});
    CorvaneFpLog::drain();
    const std::vector<oslog::CapturingSink::Entry> entries = systemLog_->entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), (oslog::CapturingSink::Entry{oslog::Type::Error, c.expected}));
  }
}

TEST(CorvaneFpLogErrorCode, NamesTheFailureByItsTaxonomyCode) {
  struct Case {
    const char* name;
    std::optional<foundation::Error> error;
    std::string fallback;
    std::string expected;
  };
  const foundation::UserInfo emptyCode{{"corvane.error.code", std::string()}};
  const Case kCases[] = {
      {"no error, default fallback", std::nullopt, "io", "io"},
      {"no error, given fallback", std::nullopt, "vfs_not_connected", "vfs_not_connected"},
      {"host error names its code",
       foundation::Error("com.vandrel.corvane.vfs.xpc", -1,
                         foundation::UserInfo{{"corvane.error.code", std::string("not_found")}}),
       "io", "not_found"},
      {"own code wins over Cocoa",
       foundation::Error(foundation::kCocoaErrorDomain, 4,
                         foundation::UserInfo{{"corvane.error.code", std::string("timeout")}}),
       "x", "timeout"},
      {"Cocoa error without code", foundation::Error(foundation::kCocoaErrorDomain, 4097), "vfs_not_connected", "io"},
      {"empty code, Cocoa domain", foundation::Error(foundation::kCocoaErrorDomain, 4, emptyCode), "vfs_not_connected",
       "io"},
      {"empty code, other domain", foundation::Error("com.vandrel.corvane.vfs.xpc", -9, emptyCode), "vfs_not_connected",
       "vfs_not_connected"},
      {"code that is not text",
       foundation::Error("com.vandrel.corvane.vfs.xpc", -9,
                         foundation::UserInfo{{"corvane.error.code", std::int64_t{9}}}),
       "connection_failed", "connection_failed"},
      {"File Provider error", foundation::Error(foundation::kFileProviderErrorDomain, -1005), "not_found", "not_found"},
      {"POSIX error", foundation::posixError(5), "io", "io"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(CorvaneFpLog::errorCode(c.error, c.fallback), c.expected) << c.name;
  }
  EXPECT_EQ(CorvaneFpLog::errorCode(nullptr), "io");
}

}  // namespace
}  // namespace corvane::testing

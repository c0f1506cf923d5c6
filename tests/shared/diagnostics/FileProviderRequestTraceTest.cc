// Request traces: one start record, exactly one outcome record, the level at the
// 3000 ms boundary, and a duration that never goes negative.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/Error.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"

namespace corvane::testing {
namespace {

// A wall clock the test moves by hand, and that can move on by a step after each
// read. Times are binary fractions so that differences are exact.
struct ManualClock {
  std::shared_ptr<std::atomic<double>> now = std::make_shared<std::atomic<double>>(1000.0);
  std::shared_ptr<std::atomic<double>> step = std::make_shared<std::atomic<double>>(0.0);
  FileProviderRequestTrace::Clock clock() const {
    return [now = now, step = step] { return now->fetch_add(step->load()); };
  }
  void set(double seconds, double stepPerRead = 0) {
    now->store(seconds);
    step->store(stepPerRead);
  }
};

const std::string kSrc =
    R"(,"target":"FileProvider","src":"FileProviderRequestTrace.cc:N","version":")" CORVANE_TEST_VERSION R"("})";

std::string record(const std::string& level, const std::string& event, const std::string& middle,
                   const std::string& rest) {
  return R"({"ts":"TS","level":")" + level + R"(","host":"mac-fp","event":")" + event +
         R"(","domain":"mount","peer":"p1","operation":"file_provider.item")" + middle + rest + kSrc;
}

using RequestTrace = EventLogTest;

TEST_F(RequestTrace, StartRecordCarriesFlowIdAndDetail) {
  FileProviderRequestTrace trace("file_provider.item", "p1", "/Docs/a.txt");
  EXPECT_TRUE(std::regex_match(trace.flowId(),
                               std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  const std::vector<std::string> written = lines(true);
  ASSERT_EQ(written.size(), 2u) << "a trace that never finishes leaves only its start record";
  EXPECT_EQ(written[1], record("DEBUG", "mount.request_start", R"(,"detail":"\/Docs\/a.txt")",
                               R"(,"flow_id":")" + trace.flowId() + R"(")"));
}

TEST_F(RequestTrace, OutcomeRecordFollowsTheRules) {
  struct Case {
    const char* name;
    double finishedAt;  // seconds on the manual clock; the trace starts at 1000
    std::function<void(FileProviderRequestTrace&)> finish;
    std::string level, event, detail, outcome;  // outcome: the keys after "flow_id"
    double stepPerRead = 0;                     // how far each clock read moves it on
  };
  const foundation::Error cocoa(foundation::kCocoaErrorDomain, 4097);
  const foundation::Error host("com.vandrel.corvane.vfs.xpc", -1,
                               foundation::UserInfo{{"corvane.error.code", std::string("not_found")}});
  const std::string creation = R"(,"detail":"\/Docs\/a.txt")";
  const Case kCases[] = {
      {"success under 3000 ms", 1000 + 2.9990234375, [](auto& t) { t.succeed(); }, "DEBUG", "mount.request_done",
       creation, R"(,"elapsed_ms":2999)"},
      {"level and logged duration are two readings", 1000 + 2.9990234375, [](auto& t) { t.succeed(); }, "DEBUG",
       "mount.request_done", creation, R"(,"elapsed_ms":3499)", 0.5},
      {"success at 3000 ms", 1003.0, [](auto& t) { t.succeed(); }, "WARN", "mount.request_done", creation,
       R"(,"elapsed_ms":3000)"},
      {"fraction of a millisecond dropped", 1000.0009765625, [](auto& t) { t.succeed(); }, "DEBUG",
       "mount.request_done", creation, R"(,"elapsed_ms":0)"},
      {"clock set back", 990.0, [](auto& t) { t.succeed(); }, "DEBUG", "mount.request_done", creation,
       R"(,"elapsed_ms":0)"},
      {"success with its own detail", 1000.5, [](auto& t) { t.succeed("3 items"); }, "DEBUG", "mount.request_done",
       R"(,"detail":"3 items")", R"(,"elapsed_ms":500)"},
      {"success with empty detail", 1000.5, [](auto& t) { t.succeed(""); }, "DEBUG", "mount.request_done", "",
       R"(,"elapsed_ms":500)"},
      {"failure without error uses the fallback", 1001.0,
       [](auto& t) { t.fail({.fallbackCode = "vfs_not_connected", .retryable = true}); }, "ERROR", "mount.request_fail",
       creation, R"(,"error_code":"vfs_not_connected","retryable":true,"elapsed_ms":1000)"},
      {"Cocoa error is io whatever the fallback", 1001.0,
       [&](auto& t) { t.fail({.error = cocoa, .fallbackCode = "vfs_not_connected", .retryable = true}); }, "ERROR",
       "mount.request_fail", creation, R"(,"error_code":"io","retryable":true,"elapsed_ms":1000)"},
      {"host error names its code; level and detail given", 1004.0,
       [&](auto& t) { t.fail({.error = host, .retryable = false, .level = "WARN", .detail = "stat"}); }, "WARN",
       "mount.request_fail", R"(,"detail":"stat")", R"(,"error_code":"not_found","retryable":false,"elapsed_ms":4000)"},
      {"failure is logged at the given level even when slow", 1010.0, [](auto& t) { t.fail({}); }, "ERROR",
       "mount.request_fail", creation, R"(,"error_code":"io","retryable":false,"elapsed_ms":10000)"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    const std::size_t before = std::filesystem::exists(logFile()) ? lines().size() : 1;
    FileProviderRequestTrace trace("file_provider.item", "p1", "/Docs/a.txt", clock.clock());
    clock.set(c.finishedAt, c.stepPerRead);
    c.finish(trace);
    const std::vector<std::string> written = lines(true);
    ASSERT_EQ(written.size(), before + 2);
    EXPECT_EQ(written.back(),
              record(c.level, c.event, c.detail, R"(,"flow_id":")" + trace.flowId() + "\"" + c.outcome));
  }
}

TEST_F(RequestTrace, OnlyTheFirstOutcomeIsRecorded) {
  using Step = std::function<void(FileProviderRequestTrace&)>;
  const Step succeed = [](FileProviderRequestTrace& t) { t.succeed("first"); };
  const Step fail = [](FileProviderRequestTrace& t) { t.fail({.retryable = true, .detail = "first"}); };
  const Step succeedLater = [](FileProviderRequestTrace& t) { t.succeed("later"); };
  const Step failLater = [](FileProviderRequestTrace& t) { t.fail({.detail = "later"}); };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    const char* expectedEvent;
  };
  const Case kCases[] = {
      {"succeed then fail", {succeed, failLater}, "mount.request_done"},
      {"fail then succeed", {fail, succeedLater}, "mount.request_fail"},
      {"succeed twice", {succeed, succeedLater, succeedLater}, "mount.request_done"},
      {"fail twice", {fail, failLater}, "mount.request_fail"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    const std::size_t before = std::filesystem::exists(logFile()) ? lines().size() : 1;
    FileProviderRequestTrace trace("file_provider.item", "p1", "", clock.clock());
    for (const Step& step : c.steps) step(trace);
    const std::vector<std::string> written = lines(true);
    ASSERT_EQ(written.size(), before + 2);
    EXPECT_NE(written.back().find(std::string(R"("event":")") + c.expectedEvent + "\""), std::string::npos);
    EXPECT_NE(written.back().find(R"("detail":"first")"), std::string::npos) << written.back();
  }
}

}  // namespace
}  // namespace corvane::testing

// Many threads at once: exactly one boot record, first in the file, and every
// event whole on its own line; racing outcomes of one trace yield one record.
#include <atomic>
#include <barrier>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "shared/diagnostics/CorvaneFpLog.h"
#include "shared/diagnostics/FileProviderRequestTrace.h"
#include "tests/shared/diagnostics/EventLogTestSupport.h"

namespace corvane::testing {
namespace {

constexpr int kThreads = 8;
constexpr int kEventsPerThread = 250;

using EventLogConcurrency = EventLogTest;

TEST_F(EventLogConcurrency, ManyThreadsWriteOneBootRecordAndEveryEventWhole) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove_all(logsFolder());
    CorvaneFpLog::resetForTesting();

    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&start, t] {
        start.arrive_and_wait();  // every thread's first emit races for the boot record
        for (int i = 0; i < kEventsPerThread; ++i) {
          const std::string detail = "t" + std::to_string(t) + " i" + std::to_string(i) + " \"q\"/\n\xc3\xa9";
          CorvaneFpLog::emit(
              {.event = "mount.list_dir", .peer = "p1", .detail = detail, .generation = static_cast<std::uint64_t>(t)});
        }
      });
    }
    for (std::thread& thread : threads) thread.join();

    const std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 1u + kThreads * kEventsPerThread);
    EXPECT_EQ(written[0], bootLine());
    std::set<std::pair<int, int>> seen;
    for (std::size_t n = 1; n < written.size(); ++n) {
      const auto record = nlohmann::json::parse(written[n], nullptr, false);
      ASSERT_FALSE(record.is_discarded()) << "torn line: " << written[n];
      ASSERT_EQ(record.value("event", ""), "mount.list_dir");
      int t = -1, i = -1;
      ASSERT_EQ(std::sscanf(record["detail"].get<std::string>().c_str(), "t%d i%d", &t, &i), 2);
      EXPECT_EQ(record["generation"].get<int>(), t);
      EXPECT_EQ(record["detail"].get<std::string>(),
                "t" + std::to_string(t) + " i" + std::to_string(i) + " \"q\"/\n\xc3\xa9");
      seen.emplace(t, i);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEventsPerThread)) << "every event exactly once";
  }
}

TEST_F(EventLogConcurrency, RacingOutcomesOfOneTraceYieldOneRecord) {
  constexpr int kTraces = 200;
  std::vector<std::unique_ptr<FileProviderRequestTrace>> traces;
  for (int n = 0; n < kTraces; ++n) {
    traces.push_back(std::make_unique<FileProviderRequestTrace>("file_provider.delete", "p1", ""));
  }
  std::barrier start(4);
  auto finishAll = [&](int who) {
    start.arrive_and_wait();
    for (auto& trace : traces) {
      if (who % 2 == 0) {
        trace->succeed();
      } else {
        trace->fail({.retryable = true});
      }
    }
  };
  std::vector<std::thread> threads;
  for (int who = 0; who < 4; ++who) threads.emplace_back(finishAll, who);
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> finished;
  int outcomes = 0;
  for (const std::string& line : lines()) {
    const auto record = nlohmann::json::parse(line);
    const std::string event = record["event"];
    if (event == "mount.request_done" || event == "mount.request_fail") {
      ++outcomes;
      finished.insert(record["flow_id"].get<std::string>());
    }
  }
  EXPECT_EQ(outcomes, kTraces);
  EXPECT_EQ(finished.size(), static_cast<std::size_t>(kTraces));
}

}  // namespace
}  // namespace corvane::testing

// The completion recorder: the first finish within the wait is the answer; a
// second finish, or one after the wait gave up, is a violation.
#include "framework/CompletionRecorder.h"

#include <gtest/gtest.h>

namespace corvane::framework {
namespace {

using namespace std::chrono_literals;
using Kind = Violation::Kind;

TEST(CompletionRecorderTest, RepeatedAndLateFinishesAreViolations) {
  struct Case {
    const char* name;
    int finishesBeforeWait;
    int finishesAfterWait;
    std::optional<int> answer;
    std::vector<Kind> violations;
  };
  const Case kCases[] = {
      {"once in time", 1, 0, 1, {}},
      {"twice in time", 2, 0, 1, {Kind::repeated}},
      {"once in time, once after", 1, 1, 1, {Kind::repeated}},
      {"only after the timeout", 0, 1, std::nullopt, {Kind::late}},
      {"twice after the timeout", 0, 2, std::nullopt, {Kind::late, Kind::repeated}},
  };
  for (const Case& c : kCases) {
    CompletionRecorder recorder;
    auto call = recorder.begin<int>("item", 4);
    int value = 0;
    for (int i = 0; i < c.finishesBeforeWait; ++i) call->finish("completionHandler", ++value);
    EXPECT_EQ(call->wait(c.finishesBeforeWait ? 1s : 10ms), c.answer) << c.name;
    for (int i = 0; i < c.finishesAfterWait; ++i) call->finish("completionHandler", ++value);
    std::vector<Violation> expected;
    for (Kind kind : c.violations) expected.push_back({"item", 4, "completionHandler", kind});
    EXPECT_EQ(recorder.violations(), expected) << c.name;
  }
}

TEST(CompletionRecorderTest, WaitReturnsAFinishFromAnotherThread) {
  CompletionRecorder recorder;
  auto call = recorder.begin<std::string>("fetch", 1);
  std::thread finisher([call] { call->finish("completionHandler", "done"); });
  EXPECT_EQ(call->wait(10s), "done");
  finisher.join();
  EXPECT_TRUE(recorder.violations().empty());
}

}  // namespace
}  // namespace corvane::framework

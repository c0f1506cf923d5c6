#include "shared/vfs_xpc/FileProviderXpcConnectionState.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace corvane {
namespace {

using Phase = FileProviderXpcConnectionState::Phase;

// A state in `phase` at generation `generation`, with a cooldown of 8 seconds so
// that touching or not touching it shows.
FileProviderXpcConnectionState stateIn(Phase phase, std::uint64_t generation) {
  FileProviderXpcConnectionState s;
  s.phase = phase;
  s.generation = generation;
  s.cooldown = 8.0;
  return s;
}

enum class Event { begin, probeSucceeded, connectionFailed, idle };

struct Transition {
  const char* name;
  Phase from;
  Event event;
  std::uint64_t eventGeneration;  // the current generation is always 5
  Phase to;
  std::uint64_t generationAfter;
  std::optional<bool> result;  // absent for events without a result
  double cooldownAfter;
};

const Transition kTransitions[] = {
    {"BeginFromIdle", Phase::idle, Event::begin, 0, Phase::connecting, 6, std::nullopt, 8.0},
    {"BeginFromConnecting", Phase::connecting, Event::begin, 0, Phase::connecting, 6, std::nullopt, 8.0},
    {"BeginFromReady", Phase::ready, Event::begin, 0, Phase::connecting, 6, std::nullopt, 8.0},
    {"BeginFromCoolingDown", Phase::coolingDown, Event::begin, 0, Phase::connecting, 6, std::nullopt, 8.0},
    {"ProbeOfCurrentWhileConnecting", Phase::connecting, Event::probeSucceeded, 5, Phase::ready, 5, true, 2.0},
    {"ProbeWhileIdle", Phase::idle, Event::probeSucceeded, 5, Phase::idle, 5, false, 8.0},
    {"ProbeWhileReady", Phase::ready, Event::probeSucceeded, 5, Phase::ready, 5, false, 8.0},
    {"ProbeWhileCoolingDown", Phase::coolingDown, Event::probeSucceeded, 5, Phase::coolingDown, 5, false, 8.0},
    {"ProbeOfOlderGeneration", Phase::connecting, Event::probeSucceeded, 4, Phase::connecting, 5, false, 8.0},
    {"ProbeOfNewerGeneration", Phase::connecting, Event::probeSucceeded, 6, Phase::connecting, 5, false, 8.0},
    {"FailureWhileConnecting", Phase::connecting, Event::connectionFailed, 5, Phase::coolingDown, 5, true, 16.0},
    {"FailureWhileReady", Phase::ready, Event::connectionFailed, 5, Phase::coolingDown, 5, true, 16.0},
    {"FailureWhileIdle", Phase::idle, Event::connectionFailed, 5, Phase::idle, 5, false, 8.0},
    {"FailureWhileCoolingDown", Phase::coolingDown, Event::connectionFailed, 5, Phase::coolingDown, 5, false, 8.0},
    {"FailureOfOlderGeneration", Phase::ready, Event::connectionFailed, 4, Phase::ready, 5, false, 8.0},
    {"IdleFromReady", Phase::ready, Event::idle, 0, Phase::idle, 5, std::nullopt, 8.0},
    {"IdleFromCoolingDown", Phase::coolingDown, Event::idle, 0, Phase::idle, 5, std::nullopt, 8.0},
};

class TransitionTable : public ::testing::TestWithParam<Transition> {};

TEST_P(TransitionTable, FollowsTheTable) {
  const Transition& t = GetParam();
  FileProviderXpcConnectionState s = stateIn(t.from, 5);
  std::optional<bool> result;
  switch (t.event) {
    case Event::begin:
      EXPECT_EQ(s.beginConnection(), t.generationAfter);
      break;
    case Event::probeSucceeded:
      result = s.markProbeSucceeded(t.eventGeneration);
      break;
    case Event::connectionFailed:
      result = s.markConnectionFailed(t.eventGeneration);
      break;
    case Event::idle:
      s.markIdle();
      break;
  }
  EXPECT_EQ(result, t.result);
  EXPECT_EQ(s.phase, t.to);
  EXPECT_EQ(s.generation, t.generationAfter);
  EXPECT_DOUBLE_EQ(s.cooldown, t.cooldownAfter);
  EXPECT_EQ(s.isReady(), t.to == Phase::ready);
  EXPECT_EQ(s.canIssueRequests(), t.to == Phase::ready || t.to == Phase::connecting);
}

INSTANTIATE_TEST_SUITE_P(ConnectionState, TransitionTable, ::testing::ValuesIn(kTransitions),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ConnectionState, FreshStateIsIdleAndItsFirstAttemptIsGenerationOne) {
  FileProviderXpcConnectionState s;
  EXPECT_EQ(s.phase, Phase::idle);
  EXPECT_EQ(s.generation, 0u);
  EXPECT_DOUBLE_EQ(s.cooldown, 2.0);
  EXPECT_EQ(s.beginConnection(), 1u);
}

TEST(ConnectionState, CooldownDoublesUpToTheMaximumAndResetsOnSuccess) {
  FileProviderXpcConnectionState s;
  for (double expected : {4.0, 8.0, 16.0, 32.0, 60.0, 60.0}) {
    std::uint64_t g = s.beginConnection();
    ASSERT_TRUE(s.markConnectionFailed(g));
    EXPECT_DOUBLE_EQ(s.cooldown, expected);
  }
  std::uint64_t g = s.beginConnection();
  ASSERT_TRUE(s.markProbeSucceeded(g));
  EXPECT_DOUBLE_EQ(s.cooldown, 2.0);
  ASSERT_TRUE(s.markConnectionFailed(g));
  EXPECT_DOUBLE_EQ(s.cooldown, 4.0);  // the first failure after a success records 4, not 2
}

TEST(ConnectionState, CooldownIsCappedByASmallMaximum) {
  FileProviderXpcConnectionState s(10, 15);
  EXPECT_DOUBLE_EQ(s.cooldown, 10.0);
  ASSERT_TRUE(s.markConnectionFailed(s.beginConnection()));
  EXPECT_DOUBLE_EQ(s.cooldown, 15.0);
}

TEST(ConnectionState, GenerationWrapsPastZeroToOne) {
  FileProviderXpcConnectionState s;
  s.generation = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(s.beginConnection(), 1u);
  EXPECT_EQ(s.generation, 1u);
}

}  // namespace
}  // namespace corvane

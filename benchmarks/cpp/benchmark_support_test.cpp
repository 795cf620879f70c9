// The benchmark's measurements mean what they claim only if its workload is right: states of
// distinct features, learners at their steady working size, a recording of what their steps
// visited, and a memory floor that leaves the learner it runs on unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "memory_floor.hpp"
#include "scenario.hpp"
#include "state_stream.hpp"

namespace velto_bench {
namespace {

TEST(StateStream, StatesHoldDistinctFeaturesInRangeAndTheRingRepeats) {
  StateStream stream(50, 20, 8, 1u);
  std::vector<std::vector<std::int32_t>> first_pass;
  for (int s = 0; s < 8; ++s) {
    const std::vector<std::int32_t>& features = stream.next().features;
    const std::set<std::int32_t> distinct(features.begin(), features.end());
    EXPECT_EQ(distinct.size(), 20u);
    EXPECT_GE(*distinct.begin(), 0);
    EXPECT_LT(*distinct.rbegin(), 50);
    first_pass.push_back(features);
  }
  EXPECT_NE(first_pass[0], first_pass[1]);
  EXPECT_EQ(stream.next().features, first_pass[0]);
}

TEST(Scenario, CriticWarmUpReachesTheSteadyWorkingSize) {
  Scenario<velto::Critic> scenario(10000, 32);
  // Four more lifetimes after the warm-up and the recording: the live set no longer grows.
  double total = 0.0;
  const std::size_t steps = 4 * Scenario<velto::Critic>::kLifetime;
  for (std::size_t s = 0; s < steps; ++s) {
    total += static_cast<double>(scenario.learner.trace_list.size());
    LearnerTraits<velto::Critic>::step(scenario.learner, scenario.stream.next());
  }
  EXPECT_NEAR(scenario.mean_live() / (total / static_cast<double>(steps)), 1.0, 0.05);
}

// A unit admits features only when its action is taken; one that (almost) never took it would
// leave its sweep with nothing to measure. Its list length swings with its draws, by about 20%
// from one lifetime to the next, so its warm-up is not held to the critic's tolerance.
TEST(Scenario, UnitTakesItsActionOftenEnoughToKeepTracesLive) {
  Scenario<velto::ActorUnit> scenario(10000, 32);
  EXPECT_GT(scenario.entered_fraction(), 0.25);
  EXPECT_LT(scenario.entered_fraction(), 0.75);
  EXPECT_GT(scenario.mean_live(), 10.0 * 32.0);
}

template <typename Learner>
class ScenarioTest : public ::testing::Test {};

using Learners = ::testing::Types<velto::Critic, velto::ActorUnit>;
TYPED_TEST_SUITE(ScenarioTest, Learners);

// The floor runs on the learner's own arrays between the learner's timed steps, so it must leave
// every value as it found it.
TYPED_TEST(ScenarioTest, MemoryFloorLeavesTheLearnerAsItWas) {
  Scenario<TypeParam> scenario(1000, 32);
  const TypeParam before = scenario.learner;
  for (const RecordedStep& step : scenario.recording) {
    scenario.memory_floor.replay(step);
  }
  const auto after = LearnerTraits<TypeParam>::arrays(scenario.learner);
  auto copy = before;
  const auto unchanged = LearnerTraits<TypeParam>::arrays(copy);
  for (std::size_t a = 0; a < after.swept.size(); ++a) {
    EXPECT_TRUE(std::equal(after.swept[a], after.swept[a] + 1000, unchanged.swept[a])) << a;
  }
  EXPECT_EQ(scenario.learner.trace_list, before.trace_list);
}

TYPED_TEST(ScenarioTest, RecordingHoldsTheTraceListsTheStepsSwept) {
  Scenario<TypeParam> scenario(1000, 8);
  ASSERT_EQ(scenario.recording.size(), Scenario<TypeParam>::kRecordedSteps);
  // The learner's current list must follow from the last recorded one: every index it holds was
  // either swept at the last recorded step or is a feature of that step's state.
  const RecordedStep& last = scenario.recording.back();
  std::set<std::int32_t> possible(last.swept.begin(), last.swept.end());
  possible.insert(last.transition->features.begin(), last.transition->features.end());
  for (const std::int32_t i : scenario.learner.trace_list) {
    EXPECT_EQ(possible.count(i), 1u) << i;
  }
}

}  // namespace
}  // namespace velto_bench

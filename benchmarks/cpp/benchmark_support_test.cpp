// The benchmark's measurements mean what they claim only if its workload is right: states of
// distinct features, learners at their steady working size, and a memory floor that moves exactly
// the elements the recorded steps visited.

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

TEST(MemoryFloor, ReplayMovesExactlyTheVisitedElements) {
  MemoryFloor<3, 2, true> floor(10);
  const Transition transition{{5, 7}, 0.0f, 0.0f, 0.0f};
  floor.replay(RecordedStep{{3, 5}, &transition, true});
  // Index 3 rotated once through all three arrays by the sweep.
  EXPECT_EQ(floor.element(0, 3), 2.0f);
  EXPECT_EQ(floor.element(1, 3), 3.0f);
  EXPECT_EQ(floor.element(2, 3), 1.0f);
  // Index 5 swept (all three arrays), then entered (the first two).
  EXPECT_EQ(floor.element(0, 5), 3.0f);
  EXPECT_EQ(floor.element(1, 5), 2.0f);
  EXPECT_EQ(floor.element(2, 5), 1.0f);
  // Index 7 entered only.
  EXPECT_EQ(floor.element(0, 7), 2.0f);
  EXPECT_EQ(floor.element(1, 7), 1.0f);
  EXPECT_EQ(floor.element(2, 7), 3.0f);
  for (const std::int32_t untouched : {0, 1, 2, 4, 6, 8, 9}) {
    for (std::size_t a = 0; a < 3; ++a) {
      EXPECT_EQ(floor.element(a, untouched), static_cast<float>(a + 1)) << untouched;
    }
  }
}

TEST(MemoryFloor, StepWithoutEntryMovesOnlyTheSweptElements) {
  MemoryFloor<3, 2, false> floor(10);
  const Transition transition{{5, 7}, 0.0f, 0.0f, 0.0f};
  floor.replay(RecordedStep{{3}, &transition, false});
  EXPECT_EQ(floor.element(0, 3), 2.0f);
  EXPECT_EQ(floor.element(0, 5), 1.0f);
  EXPECT_EQ(floor.element(0, 7), 1.0f);
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

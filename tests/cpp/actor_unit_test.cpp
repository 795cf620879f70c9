#include "core/actor_unit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/uniform_draw.hpp"

namespace velto {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// lambda_ 0.5, alpha, epsilon 0.1, meta_step_size 0.01, eta_actor, decay 0.5
ActorUnit make_unit(std::int32_t num_features, float alpha, float eta_actor,
                    float action_prob_at_init, std::uint32_t seed = 1) {
  return ActorUnit(num_features, 0.5f, alpha, 0.1f, 0.01f, eta_actor, 0.5f, action_prob_at_init,
                   seed);
}

// The first uniform number the engine seeded with `seed` gives.
double first_draw(std::uint32_t seed) {
  std::mt19937 rng(seed);
  return uniform_draw(rng);
}

// A seed whose first draw falls below 0.5 and one whose first draw lies above it.
std::uint32_t seed_with_first_draw(bool below_half) {
  std::uint32_t seed = 0;
  while ((first_draw(seed) < 0.5) != below_half) {
    ++seed;
  }
  return seed;
}

TEST(ActorUnit, NegativeFeatureCountFailsWithVectorTooLong) {
  try {
    make_unit(-5, 0.1f, 1.0f, 0.5f);
    FAIL() << "no exception";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "vector too long");
  }
}

TEST(ActorUnit, EngineIsTheStandardOneSeededWithTheSeed) {
  ActorUnit unit = make_unit(0, 0.1f, 1.0f, 0.5f, 5489u);
  unit.rng.discard(9999);
  EXPECT_EQ(unit.rng(), 4123659995u);
}

// Probability from action_prob_at_init alone (empty feature list), the decision and the number of
// engine outputs the step takes.
struct DecisionCase {
  float action_prob_at_init;
  bool taken;
  int outputs_drawn;
};

// Names the case by its values: without a printer the framework dumps the raw bytes, padding
// included.
void PrintTo(const DecisionCase& c, std::ostream* out) {
  *out << "probability " << c.action_prob_at_init << (c.taken ? " taken" : " not taken")
       << " drawing " << c.outputs_drawn;
}

class ActorDecision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(ActorDecision, DrawsOnlyStrictlyBetweenZeroAndOneOrForNaN) {
  const DecisionCase c = GetParam();
  // Seed whose first draw is below 0.5, so that 0.75 is taken and NaN is not.
  ActorUnit unit = make_unit(4, 0.1f, 1.0f, c.action_prob_at_init, seed_with_first_draw(true));
  std::mt19937 expected_engine = unit.rng;
  expected_engine.discard(static_cast<unsigned long long>(c.outputs_drawn));

  EXPECT_EQ(unit.step({}, 1.0f, 0.9f, 0.0f), c.taken);
  EXPECT_EQ(unit.rng, expected_engine);
  EXPECT_TRUE(unit.trace_list.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ActorDecision,
                         ::testing::Values(DecisionCase{1.0f, true, 0}, DecisionCase{2.5f, true, 0},
                                           DecisionCase{0.0f, false, 0},
                                           DecisionCase{-0.0f, false, 0},
                                           DecisionCase{-3.0f, false, 0},
                                           DecisionCase{0.75f, true, 2},
                                           DecisionCase{kNaN, false, 2}));

TEST(ActorUnit, ActionIsTakenOnlyWhenTheProbabilityExceedsTheDraw) {
  const std::uint32_t seed = seed_with_first_draw(true);
  const double u = first_draw(seed);
  const float at_or_below = static_cast<float>(u) > u ? std::nextafter(static_cast<float>(u), 0.0f)
                                                      : static_cast<float>(u);
  const float above = std::nextafter(at_or_below, 1.0f);
  ASSERT_LE(static_cast<double>(at_or_below), u);
  ASSERT_GT(static_cast<double>(above), u);

  ActorUnit not_taken = make_unit(2, 0.1f, 1.0f, at_or_below, seed);
  ActorUnit taken = make_unit(2, 0.1f, 1.0f, above, seed);
  EXPECT_FALSE(not_taken.step({0}, 0.0f, 0.9f, 0.0f));
  EXPECT_TRUE(taken.step({0}, 0.0f, 0.9f, 0.0f));
  EXPECT_TRUE(not_taken.trace_list.empty());
  EXPECT_EQ(taken.trace_list, (std::vector<std::int32_t>{0}));
}

TEST(ActorUnit, ProbabilityAddsTheWeightsToTheBiasInListOrder) {
  // 0.5 + 0.25 + 0.25 reaches 1: taken without a draw.
  ActorUnit unit = make_unit(4, 0.1f, 1.0f, 0.5f);
  unit.weights = {0.25f, 0.0f, 0.0f, 0.0f};
  const std::mt19937 engine = unit.rng;
  EXPECT_TRUE(unit.step({0, 0}, 0.0f, 0.9f, 0.0f));
  EXPECT_EQ(unit.rng, engine);
}

TEST(ActorUnit, CertainActionGivesStepSizesUnderTheBudget) {
  // Probability 1: q = eta_actor / step_total = 1 / (3 * 0.5) < 1, so the state is over budget.
  ActorUnit unit = make_unit(8, 0.5f, 1.0f, 1.0f);
  unit.h[6] = 2.0f;
  ASSERT_TRUE(unit.step({2, 4, 6}, 0.0f, 0.9f, 0.0f));

  const float step = std::exp(std::log(0.5f));
  const float step_total = ((0.0f + step) + step) + step;
  const float q = (1.0f * 1.0f) / step_total;
  const float entry_scale = (1.0f / 1.0f) * q;
  EXPECT_EQ(unit.trace_list, (std::vector<std::int32_t>{2, 4, 6}));
  for (const std::int32_t j : {2, 4, 6}) {
    EXPECT_EQ(unit.recent_step[j], step * entry_scale);
    EXPECT_EQ(unit.entry_step[j], step * entry_scale);
    EXPECT_EQ(unit.traces[j], (1.0f * (step * entry_scale)) + 0.0f);
    EXPECT_EQ(unit.log_step_size[j], std::log(0.5f) + std::log(0.5f));
    EXPECT_EQ(unit.h[j], 0.0f);
  }
}

TEST(ActorUnit, DrawnActionDividesTheStepSizeByTheProbability) {
  const std::uint32_t seed = seed_with_first_draw(true);
  ActorUnit unit = make_unit(8, 0.01f, 1.0f, 0.5f, seed);
  ASSERT_TRUE(unit.step({1, 3}, 0.0f, 0.9f, 0.0f));
  // q = (0.5 * 1) / 0.02 is above 1: within budget, so only the probability scales the step.
  const float step = std::exp(std::log(0.01f));
  EXPECT_EQ(unit.recent_step[1], step * ((1.0f / 0.5f) * 1.0f));
  EXPECT_EQ(unit.log_step_size[1], std::log(0.01f));
}

TEST(ActorUnit, ActionNotTakenAdmitsNothingButStillSweeps) {
  ActorUnit unit = make_unit(4, 0.1f, 1.0f, 1.0f);
  ASSERT_TRUE(unit.step({1}, 0.0f, 0.9f, 0.0f));
  unit.action_prob_at_init = -1.0f;
  const float trace = unit.traces[1];
  EXPECT_FALSE(unit.step({1, 2}, 0.0f, 0.9f, 0.0f));
  EXPECT_EQ(unit.traces[1], (0.9f * 0.5f) * trace);
  EXPECT_EQ(unit.traces[2], 0.0f);
  EXPECT_EQ(unit.trace_list, (std::vector<std::int32_t>{1}));
}

TEST(ActorUnit, SweepUsesTheCriticsValueChangeAndTdErrorAloneInTheMetaUpdate) {
  ActorUnit unit = make_unit(4, 0.1f, 1.0f, -1.0f);
  unit.trace_list = {2};
  unit.traces[2] = 1.0f;
  unit.recent_step[2] = 0.25f;
  unit.h_trace[2] = 0.5f;
  unit.entry_step[2] = 0.1f;
  const float b = unit.log_step_size[2];
  unit.step({}, 0.75f, 0.9f, 0.125f);

  EXPECT_EQ(unit.weights[2], ((0.75f * 1.0f) - (0.125f * 0.25f)) + 0.0f);
  const double meta =
      (((static_cast<double>(0.01f) / (static_cast<double>(std::exp(b)) + 1e-8)) * 0.75) * 0.5) +
      static_cast<double>(b);
  EXPECT_EQ(unit.log_step_size[2], static_cast<float>(meta));
  EXPECT_EQ(unit.h[2], ((0.75f * 0.0f) + 0.0f) - (0.125f * 0.25f));
  EXPECT_EQ(unit.recent_step[2], 0.0f);
}

TEST(ActorUnit, ZeroStepTotalGivesZeroStepsWithoutDecay) {
  // exp(log(1e-45)) underflows to 0 in every term.
  ActorUnit unit = make_unit(4, 1e-45f, 1.0f, 1.0f);
  unit.log_step_size = std::vector<float>(4, -200.0f);
  ASSERT_TRUE(unit.step({0, 1}, 0.0f, 0.9f, 0.0f));
  EXPECT_EQ(unit.recent_step[0], 0.0f);
  EXPECT_EQ(unit.log_step_size[0], -200.0f);
  // The trace stays 0, so a later entry appends the feature again.
  EXPECT_EQ(unit.traces[0], 0.0f);
  EXPECT_EQ(unit.trace_list, (std::vector<std::int32_t>{0, 1}));
}

TEST(ActorUnit, RepeatedIndexDecaysOncePerOccurrenceWhenOverBudget) {
  ActorUnit unit = make_unit(4, 0.5f, 0.5f, 1.0f);
  ASSERT_TRUE(unit.step({3, 3}, 0.0f, 0.9f, 0.0f));
  const float step = std::exp(std::log(0.5f));
  const float q = (1.0f * 0.5f) / ((0.0f + step) + step);
  const float decayed = std::log(0.5f) + std::log(0.5f);
  const float first = step * ((1.0f / 1.0f) * q);
  const float second = std::exp(decayed) * ((1.0f / 1.0f) * q);
  EXPECT_EQ(unit.trace_list, (std::vector<std::int32_t>{3}));
  EXPECT_EQ(unit.traces[3], (1.0f * second) + ((1.0f * first) + 0.0f));
  EXPECT_EQ(unit.log_step_size[3], std::log(0.5f) + decayed);
}

TEST(ActorUnit, CopyContinuesTheSameRandomSequenceAndLearning) {
  ActorUnit original = make_unit(16, 0.1f, 1.0f, 0.5f, 77u);
  std::mt19937 scenario(3);
  const auto run = [&scenario](ActorUnit& unit, int steps, std::vector<bool>& decisions) {
    for (int t = 0; t < steps; ++t) {
      std::vector<std::int32_t> features;
      for (int n = 0; n < 3; ++n) {
        features.push_back(static_cast<std::int32_t>(scenario() % 16));
      }
      const float td_error = static_cast<float>(scenario() % 200) / 100.0f - 1.0f;
      decisions.push_back(unit.step(features, td_error, 0.9f, 0.01f));
    }
  };
  std::vector<bool> warm_up;
  run(original, 50, warm_up);

  ActorUnit copy = original;
  const std::mt19937 scenario_at_copy = scenario;
  std::vector<bool> from_original;
  run(original, 200, from_original);
  scenario = scenario_at_copy;
  std::vector<bool> from_copy;
  run(copy, 200, from_copy);

  EXPECT_EQ(from_copy, from_original);
  EXPECT_EQ(copy.rng, original.rng);
  EXPECT_EQ(copy.weights, original.weights);
  EXPECT_EQ(copy.trace_list, original.trace_list);
}

}  // namespace
}  // namespace velto

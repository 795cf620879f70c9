#include "core/critic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace velto {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// lambda_ 0.5, alpha, epsilon 0.1, meta_step_size 0.01, eta, decay 0.5
Critic make_critic(std::int32_t num_features, float alpha, float eta) {
  return Critic(num_features, 0.5f, alpha, 0.1f, 0.01f, eta, 0.5f);
}

TEST(Critic, NegativeFeatureCountFailsWithVectorTooLong) {
  try {
    make_critic(-1, 0.1f, 1.0f);
    FAIL() << "no exception";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "vector too long");
  }
}

TEST(Critic, ConstructionFillsEveryArrayAndTheLogStepSize) {
  const Critic critic = make_critic(4, 0.1f, 1.0f);
  const float log_alpha = std::log(0.1f);
  for (const std::vector<float>* array :
       {&critic.weights, &critic.traces, &critic.recent_step, &critic.weight_change, &critic.h,
        &critic.h_old, &critic.h_temp, &critic.trace_bar, &critic.h_trace, &critic.entry_step}) {
    EXPECT_EQ(*array, std::vector<float>(4, 0.0f));
  }
  EXPECT_EQ(critic.log_step_size, std::vector<float>(4, log_alpha));
  EXPECT_TRUE(critic.trace_list.empty());
  EXPECT_EQ(critic.last_value, 0.0f);
  EXPECT_EQ(critic.value_change, 0.0f);
}

TEST(Critic, FirstStepAdmitsEveryFeatureWithItsStepSize) {
  Critic critic = make_critic(10, 0.1f, 1.0f);
  const CriticOutput out = critic.step({7, 2, 4}, 1.5f, 0.9f);

  EXPECT_EQ(out.td_error, 1.5f);
  EXPECT_EQ(out.value_change, 0.0f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{7, 2, 4}));
  // 3 * 0.1 stays within the budget 1, so the step scale is exactly 1.
  const float step = std::exp(std::log(0.1f));
  for (const std::int32_t j : {7, 2, 4}) {
    EXPECT_EQ(critic.traces[j], step);
    EXPECT_EQ(critic.trace_bar[j], step);
    EXPECT_EQ(critic.recent_step[j], step);
    EXPECT_EQ(critic.entry_step[j], step);
    EXPECT_EQ(critic.h_trace[j], 0.0f);
    EXPECT_EQ(critic.h_temp[j], 0.0f);
    EXPECT_EQ(critic.log_step_size[j], std::log(0.1f));
  }
  EXPECT_EQ(critic.traces[3], 0.0f);
  EXPECT_EQ(critic.last_value, 0.0f);
}

TEST(Critic, TdErrorUsesTheWeightsBeforeTheSweep) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.weights = {0.25f, 0.5f, 0.0f, 0.0f};
  critic.last_value = 0.125f;
  const CriticOutput out = critic.step({0, 1}, 2.0f, 0.5f);
  EXPECT_EQ(out.td_error, ((0.75f * 0.5f) + 2.0f) - 0.125f);
  EXPECT_EQ(critic.last_value, 0.75f);
}

TEST(Critic, OverBudgetScalesStepsToTheBudgetAndDecaysAfterGivingThem) {
  Critic critic = make_critic(8, 0.5f, 1.0f);
  // Leave meta-gradient memory on feature 1 to show that it is cleared.
  critic.h[1] = 3.0f;
  critic.h_old[1] = 4.0f;
  critic.h_temp[1] = 5.0f;
  critic.step({1, 2, 3, 4}, 0.0f, 0.9f);

  const float step = std::exp(std::log(0.5f));
  const float step_total = ((step + step) + step) + step;
  const float step_scale = 1.0f / step_total;
  ASSERT_LT(step_scale, 1.0f);
  for (const std::int32_t j : {1, 2, 3, 4}) {
    EXPECT_EQ(critic.recent_step[j], step * step_scale);
    EXPECT_EQ(critic.log_step_size[j], std::log(0.5f) + std::log(0.5f));
    EXPECT_EQ(critic.h[j], 0.0f);
    EXPECT_EQ(critic.h_old[j], 0.0f);
    EXPECT_EQ(critic.h_temp[j], 0.0f);
    EXPECT_EQ(critic.trace_bar[j], step * step_scale);
  }
}

TEST(Critic, BudgetReachedExactlyIsNotExceeded) {
  Critic critic = make_critic(8, 0.25f, 0.0f);
  critic.eta = std::exp(std::log(0.25f)) + std::exp(std::log(0.25f));
  critic.step({5, 6}, 0.0f, 0.9f);
  EXPECT_EQ(critic.recent_step[5], std::exp(std::log(0.25f)));
  EXPECT_EQ(critic.log_step_size[5], std::log(0.25f));
}

// A listed feature whose meta update drives its step size past the cap, with the given budget.
struct CapCase {
  float eta;
  float start_log_step;
  float meta_step_size;
  float expected_log_step;
};

class CriticCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(CriticCap, UpdatedStepSizeIsCappedAtTheBudget) {
  const CapCase c = GetParam();
  Critic critic(2, 1.0f, 0.1f, -1.0f, c.meta_step_size, c.eta, 0.5f);
  critic.trace_list = {0};
  critic.traces[0] = 1.0f;
  critic.log_step_size[0] = c.start_log_step;
  critic.h_trace[0] = 1.0f;
  critic.step({}, 1000.0f, 1.0f);
  if (std::isnan(c.expected_log_step)) {
    EXPECT_TRUE(std::isnan(critic.log_step_size[0]));
  } else {
    EXPECT_EQ(critic.log_step_size[0], c.expected_log_step);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CriticCap,
    ::testing::Values(
        // exp(new) above a finite budget
        CapCase{2.0f, 0.0f, 1e-3f, std::log(2.0f)},
        // exp(new) overflows to infinity: capped even when the budget is infinite
        CapCase{kInf, 88.0f, 1e38f, kInf},
        // exp(new) overflows and the budget is NaN
        CapCase{kNaN, 88.0f, 1e38f, kNaN},
        // a NaN step size is left alone
        CapCase{1.0f, kNaN, 1.0f, kNaN}));

TEST(Critic, CapDoesNotTouchAStepSizeWithinTheBudget) {
  Critic critic(2, 1.0f, 0.1f, -1.0f, 1e-6f, 1.0f, 0.5f);
  critic.trace_list = {0};
  critic.traces[0] = 1.0f;
  critic.h_trace[0] = 1.0f;
  const float b = critic.log_step_size[0];
  critic.step({}, 1.0f, 1.0f);
  const double expected =
      (((static_cast<double>(1e-6f) / (static_cast<double>(std::exp(b)) + 1e-8)) * 1.0) * 1.0) +
      static_cast<double>(b);
  EXPECT_EQ(critic.log_step_size[0], static_cast<float>(expected));
}

TEST(Critic, MetaUpdateIsEvaluatedInDoubleAndRoundedOnce) {
  Critic critic(2, 1.0f, 0.1f, -1.0f, 0.3f, 1.0f, 0.5f);
  critic.trace_list = {1};
  critic.traces[1] = 0.0f;
  critic.h_trace[1] = 0.7f;
  critic.value_change = 0.1f;
  critic.step({}, 0.9f, 1.0f);
  const float b = std::log(0.1f);
  const double in_double =
      (((static_cast<double>(0.3f) / (static_cast<double>(std::exp(b)) + 1e-8)) *
        static_cast<double>(0.9f - 0.1f)) *
       static_cast<double>(0.7f)) +
      static_cast<double>(b);
  const float in_float = (((0.3f / (std::exp(b) + 1e-8f)) * (0.9f - 0.1f)) * 0.7f) + b;
  EXPECT_EQ(critic.log_step_size[1], static_cast<float>(in_double));
  // The case is only telling if float arithmetic gives another answer.
  EXPECT_NE(static_cast<float>(in_double), in_float);
}

TEST(Critic, PruningRevisitsTheEntryMovedIntoTheHole) {
  // gamma * lambda_ = 0.5 and epsilon 0.1: traces 0.1 are pruned, 1 survives.
  Critic critic(5, 1.0f, 0.1f, 0.1f, 0.0f, 1.0f, 0.5f);
  critic.trace_list = {0, 1, 2};
  critic.traces = {0.1f, 1.0f, 0.1f, 0.0f, 0.0f};
  critic.entry_step = {1.0f, 1.0f, 1.0f, 0.0f, 0.0f};
  critic.step({}, 1.0f, 0.5f);

  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{1}));
  // Each entry was swept exactly once: its weight moved by td_error * trace once.
  EXPECT_EQ(critic.weights, (std::vector<float>{0.1f, 1.0f, 0.1f, 0.0f, 0.0f}));
  EXPECT_EQ(critic.traces, (std::vector<float>{0.0f, 0.5f, 0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(critic.weight_change, (std::vector<float>{0.0f, 1.0f, 0.0f, 0.0f, 0.0f}));
}

TEST(Critic, PruningTheLastEntryShortensTheList) {
  Critic critic(5, 1.0f, 0.1f, 0.1f, 0.0f, 1.0f, 0.5f);
  critic.trace_list = {3, 4};
  critic.traces = {0.0f, 0.0f, 0.0f, 1.0f, 0.1f};
  critic.entry_step = {0.0f, 0.0f, 0.0f, 1.0f, 1.0f};
  critic.step({}, 1.0f, 0.5f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{3}));
  EXPECT_EQ(critic.traces[4], 0.0f);
}

TEST(Critic, GammaZeroPrunesEveryTraceAndReadmitsTheNewState) {
  Critic critic = make_critic(6, 0.1f, 1.0f);
  critic.step({1, 2}, 1.0f, 0.9f);
  critic.step({2, 3}, 1.0f, 0.0f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{2, 3}));
  EXPECT_EQ(critic.traces[1], 0.0f);
  EXPECT_EQ(critic.traces[2], std::exp(std::log(0.1f)));
}

TEST(Critic, RepeatedIndexCountsOncePerOccurrence) {
  // Budget 0.4 against two occurrences of 0.25: over budget, decayed twice.
  Critic critic = make_critic(4, 0.25f, 0.4f);
  critic.step({3, 3}, 0.0f, 0.9f);

  const float step = std::exp(std::log(0.25f));
  const float step_scale = 0.4f / (step + step);
  const float first = step * step_scale;
  const float decayed = std::log(0.25f) + std::log(0.5f);
  const float second = std::exp(decayed) * step_scale;
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{3}));
  EXPECT_EQ(critic.recent_step[3], second);
  EXPECT_EQ(critic.entry_step[3], second);
  EXPECT_EQ(critic.traces[3], (0.0f + (1.0f * first)) + (1.0f * second));
  EXPECT_EQ(critic.log_step_size[3], decayed + std::log(0.5f));
}

TEST(Critic, FeatureAdmittedWithAZeroTraceIsListedTwice) {
  // With gamma * lambda_ = 1 the listed feature 2 keeps its trace 1, so trace_sum is exactly 1
  // and the entries of feature 5 leave its trace at 0.
  Critic critic(8, 1.0f, 0.1f, 0.0f, 0.0f, 1.0f, 0.5f);
  critic.trace_list = {2};
  critic.traces[2] = 1.0f;
  critic.entry_step[2] = 1.0f;
  critic.step({5, 2, 5}, 0.0f, 1.0f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{2, 5, 5}));
  EXPECT_EQ(critic.traces[5], 0.0f);
  EXPECT_EQ(critic.traces[2], 1.0f);

  // Each copy is swept; with epsilon 0 a zero trace is pruned, once per listing.
  critic.step({}, 0.0f, 1.0f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{2}));
}

TEST(Critic, PrunedFeatureActiveAgainIsReadmittedAndContributesNoValueChange) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.step({1}, 1.0f, 0.9f);
  const CriticOutput out = critic.step({1}, 1.0f, 0.0f);
  EXPECT_NE(critic.weights[1], 0.0f);
  EXPECT_EQ(out.value_change, 0.0f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{1}));
}

TEST(Critic, ValueChangeSumsTheSweepsWeightChangesOverTheState) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.step({0, 1}, 1.0f, 0.9f);
  const CriticOutput out = critic.step({0, 1, 0}, 1.0f, 0.9f);
  const float change = critic.weight_change[0];
  ASSERT_NE(change, 0.0f);
  EXPECT_EQ(out.value_change, ((0.0f + change) + critic.weight_change[1]) + change);
}

TEST(Critic, NanTraceStaysListedAndIsNeverAdmittedAgain) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.step({1}, 1.0f, 0.9f);
  critic.step({1}, 1.0f, kNaN);
  EXPECT_TRUE(std::isnan(critic.traces[1]));
  critic.step({1}, 1.0f, 0.9f);
  EXPECT_EQ(critic.trace_list, (std::vector<std::int32_t>{1}));
  EXPECT_TRUE(std::isnan(critic.traces[1]));
}

TEST(Critic, NanStepTotalKeepsTheBudgetAsDivisor) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.log_step_size[2] = kNaN;
  critic.step({2, 3}, 0.0f, 0.9f);
  // No decay: the budget counts as not exceeded.
  EXPECT_EQ(critic.log_step_size[3], std::log(0.1f));
  EXPECT_EQ(critic.recent_step[3], std::exp(std::log(0.1f)));
}

TEST(Critic, InfiniteRewardFlowsIntoTheWeights) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.step({0}, 0.0f, 0.9f);
  const CriticOutput out = critic.step({0}, kInf, 0.9f);
  EXPECT_EQ(out.td_error, kInf);
  EXPECT_EQ(critic.weights[0], kInf);
}

TEST(Critic, EmptyFeatureListResetsLastValueAndAdmitsNothing) {
  Critic critic = make_critic(4, 0.1f, 1.0f);
  critic.weights[0] = 2.0f;
  critic.step({0}, 0.0f, 0.9f);
  ASSERT_EQ(critic.last_value, 2.0f);
  const CriticOutput out = critic.step({}, 1.0f, 0.9f);
  EXPECT_EQ(out.td_error, ((0.0f * 0.9f) + 1.0f) - 2.0f);
  EXPECT_EQ(out.value_change, 0.0f);
  EXPECT_EQ(critic.last_value, 0.0f);
}

}  // namespace
}  // namespace velto

// Tests of the pieces the vectorised sweep is built from: the eight-lane exp and log on lanes that
// mix the polynomial range with the inputs handed to the platform, and the bookkeeping that finds
// a repeated index and reproduces the one-by-one walk's order of trace_list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "core/fast_math.hpp"
#include "core/sweep_scratch.hpp"

namespace {

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

float from_bits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(FastMathTest, AProcessorWithAvx2AndFmaTakesTheVectorisedPaths) {
  // False only when this math library disagrees with our routines somewhere in the sample.
  EXPECT_EQ(velto::fast_math_usable(), velto::processor_supports_fast_math());
}

struct MathCase {
  const char* name;
  std::vector<float> inputs;
};

class FastMathTest : public ::testing::TestWithParam<MathCase> {};

// Each list is longer than one block of eight and puts inputs that leave the polynomial range
// next to ordinary ones, so that a lane fixed up from the platform cannot disturb its neighbours.
TEST_P(FastMathTest, ExpAndLogReturnThePlatformBitsInEveryLane) {
  const std::vector<float>& inputs = GetParam().inputs;
  std::vector<float> exp_out(inputs.size());
  std::vector<float> log_out(inputs.size());
  velto::exp_floats(inputs.data(), exp_out.data(), inputs.size());
  velto::log_floats(inputs.data(), log_out.data(), inputs.size());
  for (std::size_t n = 0; n < inputs.size(); ++n) {
    EXPECT_EQ(bits_of(exp_out[n]), bits_of(std::exp(inputs[n]))) << "exp of " << inputs[n];
    EXPECT_EQ(bits_of(log_out[n]), bits_of(std::log(inputs[n]))) << "log of " << inputs[n];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lanes, FastMathTest,
    ::testing::Values(
        MathCase{"overflow_and_underflow_among_ordinary",
                 {-6.9f, 88.7f, 0.5f, 89.0f, -103.0f, -104.0f, -87.9f, 87.9f, 1.0f, -0.0f, 0.0f}},
        MathCase{"nan_payloads_and_infinities",
                 {from_bits(0x7fc12345u), 1.0f, -kInf, kInf, from_bits(0xffd0d87eu), 2.0f,
                  from_bits(0x7f800001u), 0.25f, -1.0f, 3.0f}},
        MathCase{"subnormal_zero_negative_for_log",
                 {from_bits(1u), 1e-3f, from_bits(0x007fffffu), 0.0f, -0.0f, -2.0f, 1.0f,
                  from_bits(0x00800000u), from_bits(0x7f7fffffu), 0.9999999f}},
        MathCase{"ragged_tail", {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 95.0f}}),
    [](const ::testing::TestParamInfo<MathCase>& info) { return std::string(info.param.name); });

// The one-by-one walk over trace_list with given decisions per listed entry: the reference for
// the order that SweepScratch::remove_pruned must leave.
std::vector<std::int32_t> walk(std::vector<std::int32_t> list, std::vector<bool> pruned) {
  std::size_t k = 0;
  while (k < list.size()) {
    if (pruned[k]) {
      list[k] = list.back();
      pruned[k] = pruned.back();
      list.pop_back();
      pruned.pop_back();
    } else {
      ++k;
    }
  }
  return list;
}

TEST(SweepScratchTest, RemovePrunedLeavesTheWalksOrderForEveryPattern) {
  std::mt19937 patterns(11u);
  for (std::size_t length : {0u, 1u, 2u, 7u, 8u, 9u, 33u, 200u}) {
    for (int round = 0; round < 50; ++round) {
      std::vector<std::int32_t> list(length);
      std::vector<float> recent_step(1000, 0.0f);
      for (std::size_t n = 0; n < length; ++n) {
        list[n] = static_cast<std::int32_t>(n * 3 + 1);
      }
      velto::SweepScratch scratch;
      ASSERT_TRUE(scratch.save_recent_steps(list, recent_step));
      std::vector<bool> pruned(length);
      const std::uint32_t density = patterns() % 4;  // none, some, most or all pruned
      for (std::size_t n = 0; n < length; ++n) {
        pruned[n] = density == 3 || patterns() % 3 < density;
        scratch.pruned_flags()[n] = pruned[n] ? 1 : 0;
      }
      std::vector<std::int32_t> result = list;
      scratch.remove_pruned(result);
      EXPECT_EQ(result, walk(list, pruned)) << "length " << length << " round " << round;
    }
  }
}

struct RepeatCase {
  const char* name;
  std::vector<std::int32_t> list;
  bool independent;
};

// Prints the case by name: without a printer the framework dumps the raw bytes, padding included.
void PrintTo(const RepeatCase& c, std::ostream* out) {
  *out << c.name;
}

class SaveRecentStepsTest : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(SaveRecentStepsTest, FindsARepeatAndThenRestoresEveryValue) {
  const RepeatCase& c = GetParam();
  std::vector<float> recent_step(16);
  for (std::size_t i = 0; i < recent_step.size(); ++i) {
    recent_step[i] = static_cast<float>(i) * 0.5f - 1.0f;
  }
  recent_step[4] = from_bits(0xffc00000u);
  recent_step[5] = -0.0f;
  const std::vector<float> before = recent_step;
  velto::SweepScratch scratch;
  ASSERT_EQ(scratch.save_recent_steps(c.list, recent_step), c.independent);
  if (!c.independent) {
    for (std::size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(bits_of(recent_step[i]), bits_of(before[i])) << "feature " << i;
    }
    return;
  }
  for (std::size_t k = 0; k < c.list.size(); ++k) {
    EXPECT_EQ(bits_of(scratch.saved_recent_steps()[k]), bits_of(before[c.list[k]]));
    // Marked: a second listing of the same feature would see a signalling NaN.
    EXPECT_TRUE(std::isnan(recent_step[c.list[k]]));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SaveRecentStepsTest,
    ::testing::Values(RepeatCase{"distinct", {3, 4, 5, 0, 15, 9, 8, 7, 6, 1}, true},
                      RepeatCase{"adjacent_repeat", {3, 3}, false},
                      RepeatCase{"repeat_across_blocks", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1}, false},
                      RepeatCase{"repeat_of_nan_and_negative_zero", {4, 5, 6, 5}, false},
                      RepeatCase{"empty", {}, true}),
    [](const ::testing::TestParamInfo<RepeatCase>& info) { return std::string(info.param.name); });

TEST(SaveRecentStepsTest, AValueEqualToTheMarkFallsBackAndSurvives) {
  std::vector<float> recent_step(4, 0.0f);
  recent_step[2] = from_bits(0x7f8c51edu);
  velto::SweepScratch scratch;
  EXPECT_FALSE(scratch.save_recent_steps({0, 1, 2, 3}, recent_step));
  EXPECT_EQ(bits_of(recent_step[2]), 0x7f8c51edu);
  EXPECT_EQ(bits_of(recent_step[0]), 0u);
  EXPECT_EQ(bits_of(recent_step[1]), 0u);
}

}  // namespace

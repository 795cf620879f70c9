#include "core/uniform_draw.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>

namespace velto {
namespace {

class UniformFromOutputs
    : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t, double>> {};

TEST_P(UniformFromOutputs, CombinesTheTwoOutputsExactly) {
  const auto [first, second, expected] = GetParam();
  EXPECT_EQ(uniform_from_outputs(first, second), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, UniformFromOutputs,
    ::testing::Values(std::make_tuple(0xFFFFFFFFu, 0u, std::ldexp(2097151.0, -53)),
                      std::make_tuple(0u, 1u, std::ldexp(1.0, -32)),
                      std::make_tuple(0xFFFFFFFFu, 0xFFFFFFFFu, 1.0 - std::ldexp(1.0, -53)),
                      std::make_tuple(2047u, 0u, 0.0),
                      std::make_tuple(2048u, 0u, std::ldexp(1.0, -53))));

TEST(UniformDraw, TakesTwoOutputsFirstAsLowBits) {
  std::mt19937 rng(42);
  std::mt19937 reference(42);
  const std::uint32_t first = static_cast<std::uint32_t>(reference());
  const std::uint32_t second = static_cast<std::uint32_t>(reference());
  EXPECT_EQ(uniform_draw(rng), uniform_from_outputs(first, second));
  EXPECT_EQ(rng, reference);
}

}  // namespace
}  // namespace velto

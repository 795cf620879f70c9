#include "agent/velto_actor_critic.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace velto {
namespace {

// num_features, num_actions, lambda_ 0.9, alpha 0.1, epsilon 0.01, meta_step_size 0.01, eta 1,
// eta_actor 0.5, decay 0.9, action_prob_at_init 0.5, seed
VeltoActorCritic make_agent(std::int32_t num_features, std::int32_t num_actions,
                            std::int32_t seed = 0) {
  return VeltoActorCritic(num_features, num_actions, 0.9f, 0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f,
                          0.5f, seed);
}

class UnitSeeds
    : public ::testing::TestWithParam<std::tuple<std::int32_t, std::uint32_t, std::uint32_t>> {};

TEST_P(UnitSeeds, DerivedInUnsignedWrapAroundArithmetic) {
  const auto [seed, unit0, unit1] = GetParam();
  const VeltoActorCritic agent = make_agent(3, 2, seed);
  ASSERT_EQ(agent.units.size(), 2u);
  EXPECT_EQ(agent.units[0].rng, std::mt19937(unit0));
  EXPECT_EQ(agent.units[1].rng, std::mt19937(unit1));
}

INSTANTIATE_TEST_SUITE_P(Examples, UnitSeeds,
                         ::testing::Values(std::make_tuple(0, 230290u, 230290u + 24030u),
                                           std::make_tuple(-230290, 0u, 24030u),
                                           std::make_tuple(2147483647, 2147483647u + 230290u,
                                                           2147483647u + 230290u + 24030u),
                                           std::make_tuple(-230291, 4294967295u, 24029u)));

TEST(UnitSeed, WrapsForLargeIndices) {
  EXPECT_EQ(unit_seed(0, 2147483647),
            static_cast<std::uint32_t>(230290ull + 24030ull * 2147483647ull));
}

TEST(VeltoActorCritic, PassesEachLearnerItsOwnParameters) {
  const VeltoActorCritic agent(5, 3, 0.25f, 0.5f, 0.125f, 0.0625f, 2.0f, 3.0f, 0.75f, 0.375f, 9);
  EXPECT_EQ(agent.critic.weights.size(), 5u);
  EXPECT_EQ(agent.critic.eta, 2.0f);
  EXPECT_EQ(agent.critic.lambda_, 0.25f);
  EXPECT_EQ(agent.critic.epsilon, 0.125f);
  EXPECT_EQ(agent.critic.meta_step_size, 0.0625f);
  EXPECT_EQ(agent.critic.decay, 0.75f);
  ASSERT_EQ(agent.units.size(), 3u);
  for (const ActorUnit& unit : agent.units) {
    EXPECT_EQ(unit.eta_actor, 3.0f);
    EXPECT_EQ(unit.action_prob_at_init, 0.375f);
    EXPECT_EQ(unit.lambda_, 0.25f);
    EXPECT_EQ(unit.decay, 0.75f);
    EXPECT_EQ(unit.weights.size(), 5u);
    EXPECT_EQ(unit.log_step_size, std::vector<float>(5, std::log(0.5f)));
  }
}

TEST(VeltoActorCritic, NoActionsGiveNoUnitsButTheCriticLearns) {
  for (const std::int32_t num_actions : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    VeltoActorCritic agent = make_agent(4, num_actions);
    EXPECT_TRUE(agent.units.empty());
    EXPECT_TRUE(agent.step({1, 2}, 1.0f, 0.9f).empty());
    EXPECT_EQ(agent.critic.trace_list, (std::vector<std::int32_t>{1, 2}));
  }
}

TEST(VeltoActorCritic, NegativeFeatureCountFailsWithVectorTooLong) {
  try {
    make_agent(-1, 2);
    FAIL() << "no exception";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "vector too long");
  }
}

TEST(VeltoActorCritic, SizeBeyondPhysicalMemoryFailsBeforeAllocating) {
  EXPECT_THROW(make_agent(std::numeric_limits<std::int32_t>::max(), 1), std::bad_alloc);
  // No arrays at all, but two billion engines of a few kilobytes each.
  EXPECT_THROW(make_agent(0, std::numeric_limits<std::int32_t>::max()), std::bad_alloc);
}

TEST(VeltoActorCritic, StepRunsTheCriticThenEveryUnitWithItsOutput) {
  VeltoActorCritic agent = make_agent(32, 4, 11);
  Critic critic = agent.critic;
  std::vector<ActorUnit> units = agent.units;
  std::mt19937 scenario(5);
  for (int t = 0; t < 300; ++t) {
    std::vector<std::int32_t> features;
    for (int n = 0; n < 5; ++n) {
      features.push_back(static_cast<std::int32_t>(scenario() % 32));
    }
    const float reward = static_cast<float>(scenario() % 100) / 50.0f - 1.0f;

    const CriticOutput out = critic.step(features, reward, 0.95f);
    std::vector<std::int32_t> expected;
    for (std::size_t i = 0; i < units.size(); ++i) {
      if (units[i].step(features, out.td_error, 0.95f, out.value_change)) {
        expected.push_back(static_cast<std::int32_t>(i));
      }
    }
    ASSERT_EQ(agent.step(features, reward, 0.95f), expected) << "step " << t;
  }
  EXPECT_EQ(agent.critic.weights, critic.weights);
  EXPECT_EQ(agent.units[3].weights, units[3].weights);
}

TEST(VeltoActorCritic, EmptyStatesFollowTheBiasAlone) {
  VeltoActorCritic always(0, 3, 0.9f, 0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f, 1.0f, 0);
  VeltoActorCritic never(0, 3, 0.9f, 0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f, 0.0f, 0);
  for (int t = 0; t < 5; ++t) {
    EXPECT_EQ(always.step({}, 1.0f, 0.9f), (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_TRUE(never.step({}, 1.0f, 0.9f).empty());
  }
}

class OutOfRange : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(OutOfRange, IndexIsRejectedNamingItAndTheRangeBeforeAnyChange) {
  VeltoActorCritic agent = make_agent(10, 2);
  agent.step({1, 2}, 1.0f, 0.9f);
  const VeltoActorCritic before = agent;
  const std::int32_t bad = GetParam();
  try {
    agent.step({3, bad, 4}, 1.0f, 0.9f);
    FAIL() << "no exception";
  } catch (const std::out_of_range& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find(std::to_string(bad)), std::string::npos) << message;
    EXPECT_NE(message.find("[0, 10)"), std::string::npos) << message;
  }
  EXPECT_EQ(agent.critic.weights, before.critic.weights);
  EXPECT_EQ(agent.critic.trace_list, before.critic.trace_list);
  EXPECT_EQ(agent.critic.last_value, before.critic.last_value);
  EXPECT_EQ(agent.units[0].rng, before.units[0].rng);
  EXPECT_EQ(agent.units[1].traces, before.units[1].traces);
}

INSTANTIATE_TEST_SUITE_P(Indices, OutOfRange,
                         ::testing::Values(10, -1, std::numeric_limits<std::int32_t>::max(),
                                           std::numeric_limits<std::int32_t>::min()));

}  // namespace
}  // namespace velto

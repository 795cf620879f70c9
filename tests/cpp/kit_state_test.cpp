#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "kit/crc32.hpp"
#include "kit/engine_text.hpp"
#include "kit/evaluation.hpp"

namespace {

using velto::EngineState;

TEST(Crc32, KnownAnswersOfTheZipChecksum) {
  const std::string digits = "123456789";
  EXPECT_EQ(velto::crc32(digits.data(), digits.size(), 0), 0xCBF43926u);
  EXPECT_EQ(velto::crc32(nullptr, 0, 0), 0u);
  const std::vector<unsigned char> zeros(4096, 0);
  EXPECT_EQ(velto::crc32(zeros.data(), zeros.size(), 0),
            velto::crc32_by_table(zeros.data(), zeros.size(), 0));
}

// The folded path takes lengths from 64 bytes on, in blocks of 16 with a table-walked tail, and
// any alignment: every length around those boundaries, at every offset within a 16-byte line,
// chained onto an earlier CRC, must give the table walk's value.
TEST(Crc32, FoldedPathEqualsTheTableWalkAtEveryLengthAndAlignment) {
  std::mt19937 engine(7);
  std::vector<unsigned char> bytes(1200);
  for (unsigned char& byte : bytes) {
    byte = static_cast<unsigned char>(engine());
  }
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length + offset <= 700; ++length) {
      const unsigned char* start = bytes.data() + offset;
      const std::uint32_t earlier = length % 3 == 0 ? 0u : 0x12345678u;
      ASSERT_EQ(velto::crc32(start, length, earlier), velto::crc32_by_table(start, length, earlier))
          << "offset " << offset << ", length " << length;
    }
  }
  EXPECT_EQ(velto::crc32(bytes.data(), bytes.size(), 0),
            velto::crc32(bytes.data() + 500, 700, velto::crc32(bytes.data(), 500, 0)));
}

TEST(EngineText, StateRoundTripsAtEveryKindOfPosition) {
  std::mt19937 engine(2024);
  for (int draws : {0, 1, 623, 624, 625, 2000}) {
    std::mt19937 original(2024u + static_cast<unsigned>(draws));
    original.discard(static_cast<unsigned long long>(draws));
    const EngineState state = velto::engine_state(original);
    EXPECT_EQ(state.position, draws == 0 ? 624u : static_cast<unsigned>((draws - 1) % 624 + 1));
    velto::set_engine_state(engine, state);
    EXPECT_TRUE(engine == original) << draws << " draws";
    for (int i = 0; i < 1500; ++i) {
      ASSERT_EQ(engine(), original());
    }
  }
}

TEST(EngineText, SeededStateIsTheStandardInitialisation) {
  const EngineState state = velto::engine_state(std::mt19937(5489u));
  EXPECT_EQ(state.words[0], 5489u);
  EXPECT_EQ(state.words[1], 1812433253u * (5489u ^ (5489u >> 30)) + 1u);
  EXPECT_EQ(state.position, 624u);
}

TEST(EngineText, PositionPastTheStateIsRefusedAndChangesNothing) {
  std::mt19937 engine(1);
  const std::mt19937 before = engine;
  EngineState state = velto::engine_state(std::mt19937(2));
  state.position = 625;
  EXPECT_THROW(velto::set_engine_state(engine, state), std::invalid_argument);
  EXPECT_TRUE(engine == before);
}

velto::VeltoActorCritic small_agent(std::int32_t actions, float bias) {
  return velto::VeltoActorCritic(4, actions, 0.9f, 0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f, bias, 3);
}

TEST(Evaluation, ValueSumsTheWeightsInListOrderOncePerOccurrence) {
  velto::VeltoActorCritic agent = small_agent(1, 0.5f);
  agent.critic.weights = {1e8f, 1.0f, -1e8f, 0.25f};
  // In list order 1e8 + 1 rounds back to 1e8; reordered the 1 would survive.
  EXPECT_EQ(velto::critic_value(agent, {0, 1, 2}), 0.0f);
  EXPECT_EQ(velto::critic_value(agent, {0, 2, 1}), 1.0f);
  EXPECT_EQ(velto::critic_value(agent, {3, 3, 3}), 0.75f);
  EXPECT_EQ(velto::critic_value(agent, {}), 0.0f);
}

TEST(Evaluation, ProbabilitiesAreClippedAsTheUnitClipsThem) {
  velto::VeltoActorCritic agent = small_agent(3, 0.5f);
  agent.units[0].weights = {0.25f, 0.5f, -2.0f, NAN};
  agent.units[1].weights = {0.5f, 0.0f, 0.0f, 0.0f};
  agent.units[2].weights = {-0.5f, 0.0f, 0.0f, 0.0f};
  EXPECT_EQ(velto::action_probabilities(agent, {0}), (std::vector<float>{0.75f, 1.0f, 0.0f}));
  EXPECT_EQ(velto::action_probabilities(agent, {1, 2})[0], 0.0f);
  EXPECT_EQ(velto::action_probabilities(agent, {1})[0], 1.0f);
  EXPECT_TRUE(std::isnan(velto::action_probabilities(agent, {3})[0]));
}

TEST(Evaluation, IndicesAreCheckedWithTheStepsMessage) {
  velto::VeltoActorCritic agent = small_agent(1, 0.5f);
  for (const std::int32_t bad : {4, -1}) {
    try {
      velto::critic_value(agent, {0, bad});
      FAIL() << "no exception for " << bad;
    } catch (const std::out_of_range& error) {
      EXPECT_EQ(std::string(error.what()),
                "feature index " + std::to_string(bad) + " is outside the valid range [0, 4)");
    }
    EXPECT_THROW(velto::action_probabilities(agent, {bad}), std::out_of_range);
  }
}

}  // namespace

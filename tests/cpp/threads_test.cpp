// Agents, their copies and the kit's C++ used from several threads at once, as a population's
// workers step their agents. Built with ThreadSanitizer by scripts/harden.sh, where any data race
// between the threads (shared state that one agent's work changes) fails the run; the results
// are also compared with the same work done on one thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "kit/experiments/tile_coder.hpp"
#include "kit/state/crc32.hpp"
#include "kit/state/engine_text.hpp"

namespace velto {
namespace {

constexpr int kThreads = 4;
constexpr int kSteps = 400;
constexpr std::int32_t kFeatures = 3000;

VeltoActorCritic make_agent(std::int32_t seed) {
  return VeltoActorCritic(kFeatures, 3, 0.9f, 0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f, 0.5f, seed);
}

// A digest of everything one agent's run produced: its actions, a copy's and its engines'
// states, and checksums of its weights, taken along the way.
std::uint32_t run(std::int32_t seed, const TileCoder& coder) {
  VeltoActorCritic agent = make_agent(seed);
  std::mt19937 draws(static_cast<std::uint32_t>(seed));
  std::uniform_real_distribution<double> point(-1.0, 2.0);
  std::vector<std::int32_t> features(static_cast<std::size_t>(coder.num_tilings()));
  std::uint32_t digest = 0;
  for (int step = 0; step < kSteps; ++step) {
    const std::vector<double> observation{point(draws), point(draws)};
    coder.active_features(observation.data(), features.data());
    const std::vector<std::int32_t> actions = agent.step(features, 0.5f, 0.9f);
    digest = crc32(actions.data(), actions.size() * sizeof(std::int32_t), digest);
    if (step % 50 == 0) {
      const VeltoActorCritic copy = agent;  // what a snapshot does
      digest =
          crc32(copy.critic.weights.data(), copy.critic.weights.size() * sizeof(float), digest);
      const EngineState engine = engine_state(copy.units[0].rng);
      digest = crc32(engine.words.data(), engine.words.size() * sizeof(std::uint32_t), digest);
    }
  }
  return digest;
}

TEST(Threads, AgentsOnSeparateThreadsMatchTheSameRunsOnOne) {
  // One coder shared by every thread (its calls are const), one agent each.
  const TileCoder coder({0.0, 0.0}, {1.0, 1.0}, 6, 8, std::nullopt);
  std::vector<std::uint32_t> alone(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    alone[static_cast<std::size_t>(t)] = run(t, coder);
  }
  std::vector<std::uint32_t> together(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { together[static_cast<std::size_t>(t)] = run(t, coder); });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(together, alone);
  EXPECT_NE(alone[0], alone[1]);  // the seeds differ, so the runs must too
}

}  // namespace
}  // namespace velto

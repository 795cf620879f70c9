// Agents, their copies and the kit's C++ used from several threads at once, as a population's
// workers step their agents and as Python threads take turns under the interpreter lock. Built
// with ThreadSanitizer by scripts/harden.sh, where any data race between the threads fails the
// run; the results are also compared with the same work done on one thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "kit/crc32.hpp"
#include "kit/engine_text.hpp"
#include "kit/tile_coder.hpp"

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
      digest = crc32(copy.critic.weights.data(), copy.critic.weights.size() * sizeof(float),
                     digest);
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

TEST(Threads, CopiesTakenUnderTheStepsLockAreStatesTheAgentWasIn) {
  // The interpreter lock modelled by a mutex: one thread steps, another copies between steps.
  // Every copy must equal the agent after some number of steps, checked by replaying them.
  VeltoActorCritic agent = make_agent(9);
  std::mutex lock;
  std::vector<std::vector<std::int32_t>> calls;
  std::mt19937 draws(5);
  for (int step = 0; step < kSteps; ++step) {
    calls.push_back({static_cast<std::int32_t>(draws() % kFeatures),
                     static_cast<std::int32_t>(draws() % kFeatures)});
  }
  std::vector<VeltoActorCritic> copies;
  std::thread stepper([&] {
    for (const auto& call : calls) {
      const std::lock_guard<std::mutex> held(lock);
      agent.step(call, 1.0f, 0.9f);
    }
  });
  for (int n = 0; n < 20; ++n) {
    {
      const std::lock_guard<std::mutex> held(lock);
      copies.push_back(agent);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // let some steps in between
  }
  stepper.join();

  VeltoActorCritic twin = make_agent(9);
  std::size_t matched = 0;
  for (std::size_t step = 0; step <= calls.size() && matched < copies.size(); ++step) {
    while (matched < copies.size() && copies[matched].critic.weights == twin.critic.weights &&
           copies[matched].critic.trace_list == twin.critic.trace_list &&
           copies[matched].units[2].weights == twin.units[2].weights &&
           engine_state(copies[matched].units[1].rng).words ==
               engine_state(twin.units[1].rng).words) {
      ++matched;
    }
    if (step < calls.size()) {
      twin.step(calls[step], 1.0f, 0.9f);
    }
  }
  EXPECT_EQ(matched, copies.size());
}

}  // namespace
}  // namespace velto

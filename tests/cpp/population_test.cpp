// The population's native side where Python cannot reach it: a step that fails midway is reported
// with the agents it had stepped and stops the other blocks, small calls stay on the calling
// thread, and the worker pool runs every task and carries errors back. Stepping and checking are
// tested against agents stepped alone in tests/python/test_population.py. scripts/harden.sh runs
// these tests under ThreadSanitizer.
#include "kit/experiments/population.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "learner_digest.hpp"

namespace {

using velto::FeatureRows;
using velto::Population;
using velto::PopulationStepError;
using velto::VeltoActorCritic;

constexpr std::size_t kAgents = 5;
constexpr std::int64_t kWidth = 3;
// Features per row that make a call of kAgents agents (or 4 of them) worth splitting in two.
constexpr std::int64_t kWideWidth = static_cast<std::int64_t>(Population::kWorkPerBlock) / 2;

std::vector<std::unique_ptr<VeltoActorCritic>> make_agents() {
  std::vector<std::unique_ptr<VeltoActorCritic>> agents;
  for (std::size_t i = 0; i < kAgents; ++i) {
    agents.push_back(std::make_unique<VeltoActorCritic>(static_cast<std::int32_t>(20 + i), 2, 0.9f,
                                                        0.1f, 0.01f, 0.01f, 1.0f, 0.5f, 0.9f, 0.5f,
                                                        static_cast<std::int32_t>(i)));
  }
  return agents;
}

std::vector<VeltoActorCritic*> pointers(const std::vector<std::unique_ptr<VeltoActorCritic>>& all) {
  std::vector<VeltoActorCritic*> result;
  for (const auto& agent : all) {
    result.push_back(agent.get());
  }
  return result;
}

std::uint64_t digest_of_agent(VeltoActorCritic& agent) {
  std::uint64_t digest = digest_of(agent.critic);
  for (velto::ActorUnit& unit : agent.units) {
    digest = digest * 31 + digest_of(unit);
  }
  return digest;
}

// Call `call` of a fixed sequence: row i holds `width` indices (some repeated when wide) within
// agent i's 20 + i features.
std::vector<std::int64_t> call_features(int call, std::int64_t width = kWidth,
                                        std::size_t agents = kAgents) {
  std::vector<std::int64_t> features;
  for (std::size_t i = 0; i < agents; ++i) {
    for (std::int64_t k = 0; k < width; ++k) {
      features.push_back((call * 7 + static_cast<std::int64_t>(i) * 3 + k * 5) % 20);
    }
  }
  return features;
}

// Fails the step of the agent it is pointed at, before touching it, as running out of memory
// on the way into the step would.
VeltoActorCritic* failing_agent = nullptr;

std::vector<std::int32_t> step_or_fail(VeltoActorCritic& agent,
                                       const std::vector<std::int32_t>& features, float reward,
                                       float gamma) {
  if (&agent == failing_agent) {
    throw std::bad_alloc();
  }
  return agent.step(features, reward, gamma);
}

TEST(Population, FailureMidwayNamesTheAgentsStepped) {
  struct Case {
    std::int32_t threads;
    std::size_t failing;
    const char* stepped;
    const char* not_stepped;
  };
  // One thread: the agents before the failing one were stepped, those after were not. Two threads
  // with rows wide enough to split the call step the agents 0-1 and 2-4; a failure in the second
  // block stops the first, at the latest before its next agent, so only which agents of the
  // first block ran may vary (the test below holds the blocks in a fixed order).
  for (const Case& c : {Case{1, 2, "0-1", "3-4"}, Case{1, 0, "none", "1-4"},
                        Case{1, 4, "0-3", "none"}, Case{2, 2, nullptr, nullptr}}) {
    auto agents = make_agents();
    std::vector<std::uint64_t> before;
    for (const auto& agent : agents) {
      before.push_back(digest_of_agent(*agent));
    }
    Population population(pointers(agents), c.threads, &step_or_fail);
    failing_agent = agents[c.failing].get();
    const std::int64_t width = c.threads == 1 ? kWidth : kWideWidth;
    const std::vector<std::int64_t> features = call_features(1, width);
    const std::vector<float> ones(kAgents, 1.0f);
    std::vector<std::uint8_t> taken(kAgents * 2);
    FeatureRows rows;
    rows.wide = features.data();
    rows.width = static_cast<std::size_t>(width);
    try {
      population.step(rows, ones.data(), ones.data(), nullptr, taken.data());
      FAIL() << "no error";
    } catch (const PopulationStepError& error) {
      const std::string message = error.what();
      EXPECT_THROW(std::rethrow_exception(error.cause()), std::bad_alloc);
      EXPECT_NE(message.find("agent(s) " + std::to_string(c.failing) + ","), std::string::npos)
          << message;
      if (c.stepped != nullptr) {
        EXPECT_NE(message.find(std::string("agents stepped: ") + c.stepped + ";"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find(std::string("agents not stepped: ") + c.not_stepped),
                  std::string::npos)
            << message;
      }
      // The failing agent is left as its step left it (here: untouched); with one thread the agents
      // before it were stepped and none after it; with two, none after it in its block.
      for (std::size_t i = 0; i < kAgents; ++i) {
        const bool changed = digest_of_agent(*agents[i]) != before[i];
        if (i >= c.failing || c.threads == 1) {
          EXPECT_EQ(i < c.failing, changed) << message << " agent " << i;
        }
      }
    }
    failing_agent = nullptr;
  }
}

// The population whose call is running; an agent whose step waits until `held_agent`'s step has
// begun and then throws; and `held_agent`, whose step waits until the population reports that
// failure before it steps. And the thread each agent was stepped on.
const Population* watched = nullptr;
VeltoActorCritic* throwing_agent = nullptr;
VeltoActorCritic* held_agent = nullptr;
std::atomic<bool> held_entered{false};
std::atomic<bool> gave_up{false};
std::vector<std::pair<const VeltoActorCritic*, std::thread::id>> stepped_on;

// Waits until `done` returns true, for at most 20 s; a wait that runs out fails the test (through
// gave_up) instead of hanging it.
template <typename Done>
void wait_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      gave_up = true;
      return;
    }
    std::this_thread::yield();
  }
}

std::vector<std::int32_t> throw_or_hold(VeltoActorCritic& agent,
                                        const std::vector<std::int32_t>& features, float reward,
                                        float gamma) {
  if (&agent == throwing_agent) {
    wait_until([] { return held_entered.load(); });
    throw std::bad_alloc();
  }
  if (&agent == held_agent) {
    held_entered = true;
    wait_until([] { return watched->stopping(); });
  }
  return agent.step(features, reward, gamma);
}

std::vector<std::int32_t> record_thread(VeltoActorCritic& agent,
                                        const std::vector<std::int32_t>& features, float reward,
                                        float gamma) {
  // Each entry is written by the thread that steps the agent, read after the call returns.
  for (auto& entry : stepped_on) {
    if (entry.first == &agent) {
      entry.second = std::this_thread::get_id();
    }
  }
  return agent.step(features, reward, gamma);
}

TEST(Population, OtherBlocksStopOnceOneBlockHasFailed) {
  // Four agents in two blocks, 0-1 on the calling thread and 2-3 on the worker. Each block's
  // first agent enters its step; one of them throws, the other is held until the population
  // reports that failure and then steps whole: neither block may step another agent.
  struct Case {
    std::size_t throwing;
    std::size_t held;
    const char* message;
  };
  for (const Case& c : {Case{0, 2,
                             "agent(s) 0, each left as its own step leaves it on that error; "
                             "agents stepped: 2; agents not stepped: 1, 3"},
                        Case{2, 0,
                             "agent(s) 2, each left as its own step leaves it on that error; "
                             "agents stepped: 0; agents not stepped: 1, 3"}}) {
    auto agents = make_agents();
    agents.resize(4);
    std::vector<std::uint64_t> before;
    for (const auto& agent : agents) {
      before.push_back(digest_of_agent(*agent));
    }
    Population population(pointers(agents), 2, &throw_or_hold);
    watched = &population;
    throwing_agent = agents[c.throwing].get();
    held_agent = agents[c.held].get();
    held_entered = false;
    gave_up = false;
    const std::vector<std::int64_t> features = call_features(1, kWideWidth, 4);
    ASSERT_EQ(2u, Population::blocks_for(features.size(), 2, 4));
    const std::vector<float> ones(4, 1.0f);
    std::vector<std::uint8_t> taken(4 * 2);
    FeatureRows rows;
    rows.wide = features.data();
    rows.width = static_cast<std::size_t>(kWideWidth);
    try {
      population.step(rows, ones.data(), ones.data(), nullptr, taken.data());
      ADD_FAILURE() << "no error";
    } catch (const PopulationStepError& error) {
      EXPECT_FALSE(gave_up) << "a block waited in vain for the other";
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(i == c.held, digest_of_agent(*agents[i]) != before[i]) << "agent " << i;
    }
    throwing_agent = held_agent = nullptr;
    watched = nullptr;
  }
}

TEST(Population, SmallCallsAndOneThreadStepOnTheCallingThread) {
  struct Case {
    std::int32_t threads;
    std::int64_t width;
    std::size_t threads_used;
  };
  // 5 agents of kWideWidth features are 2.5 blocks' work: split in two, even with 4 threads.
  for (const Case& c : {Case{1, kWideWidth, 1}, Case{2, kWidth, 1}, Case{4, kWidth, 1},
                        Case{2, kWideWidth, 2}, Case{4, kWideWidth, 2}}) {
    auto agents = make_agents();
    stepped_on.clear();
    for (const auto& agent : agents) {
      stepped_on.emplace_back(agent.get(), std::thread::id());
    }
    Population population(pointers(agents), c.threads, &record_thread);
    const std::vector<std::int64_t> features = call_features(2, c.width);
    const std::vector<float> ones(kAgents, 1.0f);
    std::vector<std::uint8_t> taken(kAgents * 2);
    FeatureRows rows;
    rows.wide = features.data();
    rows.width = static_cast<std::size_t>(c.width);
    population.step(rows, ones.data(), ones.data(), nullptr, taken.data());
    // Block 0 always runs on the calling thread; block 1 (agents 2-4) on a worker.
    std::vector<std::thread::id> distinct;
    for (std::size_t i = 0; i < kAgents; ++i) {
      const std::thread::id id = stepped_on[i].second;
      if (std::find(distinct.begin(), distinct.end(), id) == distinct.end()) {
        distinct.push_back(id);
      }
      const bool on_caller = id == std::this_thread::get_id();
      EXPECT_EQ(c.threads_used == 1 || i < 2, on_caller)
          << "threads " << c.threads << ", width " << c.width << ", agent " << i;
    }
    EXPECT_EQ(c.threads_used, distinct.size()) << "threads " << c.threads << ", width " << c.width;
  }
}

TEST(WorkerPool, RunsEveryTaskOnceAndCarriesTheirErrorsBack) {
  velto::WorkerPool pool(3);
  std::vector<int> runs(4, 0);
  for (int round = 0; round < 100; ++round) {
    pool.run(4, [&runs](std::size_t task) { ++runs[task]; });
  }
  EXPECT_EQ(std::vector<int>(4, 100), runs);
  EXPECT_THROW(pool.run(4,
                        [](std::size_t task) {
                          if (task == 3) {
                            throw std::length_error("task 3");
                          }
                        }),
               std::length_error);
  pool.run(2, [&runs](std::size_t task) { ++runs[task]; });  // still usable after an error
  EXPECT_EQ(101, runs[1]);
  EXPECT_EQ(100, runs[2]);
  EXPECT_THROW(pool.run(5, [](std::size_t) {}), std::invalid_argument);
}

}  // namespace

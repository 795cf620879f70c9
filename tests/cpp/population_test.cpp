// The population's native side where Python cannot reach it: a step that fails midway is reported
// with the agents it had stepped, and the worker pool runs every task and carries errors back.
// Stepping and checking are tested against agents stepped alone in tests/python/test_population.py.
#include "kit/population.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "learner_digest.hpp"

namespace {

using velto::FeatureRows;
using velto::Population;
using velto::PopulationStepError;
using velto::VeltoActorCritic;

constexpr std::size_t kAgents = 5;
constexpr std::int64_t kWidth = 3;

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

// Call `call` of a fixed sequence: row i holds kWidth indices within agent i's 20 + i features.
std::vector<std::int64_t> call_features(int call) {
  std::vector<std::int64_t> features;
  for (std::size_t i = 0; i < kAgents; ++i) {
    for (std::int64_t k = 0; k < kWidth; ++k) {
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
  // split the agents 0-1 and 2-4; a failure in the second block stops the first, at the latest
  // before its next agent, so only which agents of the first block ran may vary.
  for (const Case& c : {Case{1, 2, "0-1", "3-4"}, Case{1, 0, "none", "1-4"},
                        Case{1, 4, "0-3", "none"}, Case{2, 2, nullptr, nullptr}}) {
    auto agents = make_agents();
    std::vector<std::uint64_t> before;
    for (const auto& agent : agents) {
      before.push_back(digest_of_agent(*agent));
    }
    Population population(pointers(agents), c.threads, &step_or_fail);
    failing_agent = agents[c.failing].get();
    const std::vector<std::int64_t> features = call_features(1);
    const std::vector<float> ones(kAgents, 1.0f);
    std::vector<std::uint8_t> taken(kAgents * 2);
    FeatureRows rows;
    rows.wide = features.data();
    rows.width = kWidth;
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
